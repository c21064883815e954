# Entry points: `make demo` (the main job) and `make test` (build and run every test).
# Both install what is missing on a fresh Debian 12 machine first.

JOBS ?= $(shell nproc)
BUILD ?= build
CTEST_FLAGS ?= --output-on-failure -j$(JOBS)

# Debian packages the build and the tests need; the interop test calls GStreamer and mediastream
# (whose library carries G.729) under a tshark capture. The tools and tests parse command lines
# and JSON with two header-only libraries, which the Windows build uses too; dpkg-dev gives
# the packages their dependencies (dpkg-shlibdeps).
PACKAGES := cmake g++ make pkg-config clang libclang-rt-14-dev \
            libgtest-dev libgmock-dev libbenchmark-dev \
            libcli11-dev nlohmann-json3-dev \
            libasound2-dev libsoxr-dev libbcg729-dev espeak-ng sox pulseaudio pulseaudio-utils libasound2-plugins libspandsp-dev \
            python3 tshark gstreamer1.0-tools gstreamer1.0-plugins-base gstreamer1.0-plugins-good libmediastreamer-tools \
            dpkg-dev

# The Windows cross build and Wine (64-bit only: these machines cannot run 32-bit programs).
WINDOWS_PACKAGES := g++-mingw-w64-i686 g++-mingw-w64-x86-64 wine64 googletest

.PHONY: deps demo test build package asan tsan fuzz bench windows docs clean

deps:
	@missing=""; for p in $(PACKAGES); do \
	  dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q "ok installed" || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	  echo "Installing:$$missing"; \
	  SUDO=""; [ "$$(id -u)" -ne 0 ] && SUDO=sudo; \
	  $$SUDO apt-get update -qq && DEBIAN_FRONTEND=noninteractive $$SUDO apt-get install -y -qq --no-install-recommends $$missing; \
	fi

$(BUILD)/CMakeCache.txt:
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo

build: deps $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j$(JOBS)

test: build
	cd $(BUILD) && ctest $(CTEST_FLAGS)

# Debian packages of the build (build/packages/): libvoiceengine<ABI>, libvoiceengine-dev,
# voiceengine-tools. scripts/package-check.sh tries them as another machine would.
package: build
	cd $(BUILD) && cpack -G DEB

# The main job: a G.729 call between two engines (two vecall processes on loopback), with a
# report of both sides' statistics, the delay and the quality of the received speech.
demo: build
	scripts/demo.sh $(BUILD)

asan: deps
	cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DVE_SANITIZE=address -DVE_BUILD_BENCH=OFF
	cmake --build build-asan -j$(JOBS)
	cd build-asan && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 ctest $(CTEST_FLAGS)

tsan: deps
	cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=Debug -DVE_SANITIZE=thread -DVE_BUILD_BENCH=OFF
	cmake --build build-tsan -j$(JOBS)
	cd build-tsan && TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" ctest $(CTEST_FLAGS)

# Builds the libFuzzer targets with clang and runs each for FUZZ_SECONDS, one per CPU at a time.
FUZZ_SECONDS ?= 15
fuzz: deps
	CC=clang CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVE_BUILD_FUZZ=ON -DVE_BUILD_TESTS=OFF -DVE_BUILD_BENCH=OFF
	cmake --build build-fuzz -j$(JOBS)
	scripts/run-fuzzers.sh build-fuzz $(FUZZ_SECONDS)

bench: build
	@for b in $(BUILD)/bench/*Bench; do [ -x "$$b" ] && $$b; done

# The Windows library: voiceengine.dll for 32-bit Windows (the product; its export table is
# checked, it cannot run here; its zip is build-win32/packages/voiceengine-VERSION-win32.zip) and the same sources for x86_64, whose tests, library host and
# a call with the Linux vecall run under Wine.
# Release builds at -O2, as on Linux: GCC 12's -O3 reports false out-of-bounds copies in the
# standard library's string and vector code.
WINDOWS_RELEASE := -DCMAKE_BUILD_TYPE=Release -DCMAKE_C_FLAGS_RELEASE="-O2 -DNDEBUG" -DCMAKE_CXX_FLAGS_RELEASE="-O2 -DNDEBUG"

windows: build
	$(MAKE) deps PACKAGES="$(WINDOWS_PACKAGES)"
	cmake -S . -B build-win32 -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/mingw-i686.cmake $(WINDOWS_RELEASE) \
	      -DVE_BUILD_TESTS=OFF -DVE_BUILD_BENCH=OFF
	cmake --build build-win32 -j$(JOBS) --target voiceengine dllhost vecall
	scripts/check-exports.sh build-win32/src/engine/voiceengine.dll
	cd build-win32 && cpack -G ZIP
	scripts/check-windows-zip.sh build-win32/packages/voiceengine-*-win32.zip
	cmake -S . -B build-win64 -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/mingw-x86_64.cmake $(WINDOWS_RELEASE) \
	      -DVE_BUILD_BENCH=OFF
	cmake --build build-win64 -j$(JOBS)
	scripts/check-exports.sh build-win64/src/engine/voiceengine.dll
	scripts/windows-tests.sh build-win64 $(BUILD)

# The HTML API reference of the public headers (build/docs/html): Doxygen reads the headers and
# docs/embedding.md; any warning (an undocumented public member, a parameter without its
# description) fails the target.
docs:
	$(MAKE) deps PACKAGES=doxygen
	rm -rf $(BUILD)/docs && mkdir -p $(BUILD)/docs
	VE_DOCS_OUT=$(BUILD)/docs VE_VERSION=$$(sed -n 's/^project(voiceengine VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt) \
	  doxygen docs/Doxyfile
	@if [ -s $(BUILD)/docs/warnings.log ]; then \
	  cat $(BUILD)/docs/warnings.log; echo "docs: $$(wc -l < $(BUILD)/docs/warnings.log) Doxygen warning lines"; exit 1; \
	fi
	@echo "docs: $(BUILD)/docs/html/index.html, no warnings"

clean:
	rm -rf build build-asan build-tsan build-fuzz build-win32 build-win64
