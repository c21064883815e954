#!/usr/bin/env bash
# Checks the Debian packages of a build as a developer on another machine would use them:
# unpacks them into a scratch prefix (dpkg-deb -x, no root), checks their names, contents and
# dependencies, checks the library's exports, builds the example host against them twice
# (pkg-config with a plain compiler call; CMake's find_package) and runs both in a short call
# between two engines on 127.0.0.1.
#   scripts/package-check.sh [build-dir]
set -euo pipefail
cd "$(dirname "$0")/.."
build="$(realpath "${1:-build}")"
packages="$build/packages"
scratch="$(mktemp -d "${TMPDIR:-/tmp}/ve-package-check.XXXXXX")"
trap 'rm -rf "$scratch"' EXIT
fail() { echo "FAIL: $*"; exit 1; }

abi=$(sed -n 's/^set(VE_ABI_VERSION \([0-9]*\)).*/\1/p' CMakeLists.txt)
for deb in "$packages"/libvoiceengine${abi}_*.deb "$packages"/libvoiceengine-dev_*.deb "$packages"/voiceengine-tools_*.deb; do
  [ -f "$deb" ] || fail "missing package $deb"
  printf '%s: %s bytes; Depends: %s\n' "$(basename "$deb")" "$(stat -c %s "$deb")" "$(dpkg-deb -f "$deb" Depends)"
  name=$(dpkg-deb -f "$deb" Package)
  dpkg-deb -c "$deb" | grep -q "usr/share/doc/$name/copyright" || fail "$name has no copyright file"
  dpkg-deb -x "$deb" "$scratch/root"
done
dpkg-deb -f "$packages"/libvoiceengine${abi}_*.deb Depends | grep -q libasound2 || fail "runtime dependencies not from shlibdeps"
dpkg-deb -f "$packages"/voiceengine-tools_*.deb Depends | grep -q "libvoiceengine${abi} (=" || fail "tools do not depend on the library"

prefix="$scratch/root/usr"
libdir=$(dirname "$(find "$prefix/lib" -name "libvoiceengine.so.$abi")")
[ "$(readelf -d "$libdir/libvoiceengine.so.$abi" | sed -n 's/.*SONAME.*\[\(.*\)\]/\1/p')" = "libvoiceengine.so.$abi" ] \
  || fail "SONAME is not libvoiceengine.so.$abi"
scripts/check-so-exports.sh "$libdir/libvoiceengine.so.$abi"

# The installed tree is moved before use: both files must find it from where they are.
mv "$scratch/root" "$scratch/moved"
prefix="$scratch/moved/usr"
libdir="${libdir/$scratch\/root/$scratch/moved}"

# Host 1: pkg-config and one compiler call.
export PKG_CONFIG_PATH="$libdir/pkgconfig"
[ "$(pkg-config --modversion voiceengine)" = "$(sed -n 's/^project(voiceengine VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)" ] \
  || fail "pkg-config version is not the project's"
set -x
g++ -std=c++17 -Wall -Wextra -o "$scratch/host-pkgconfig" examples/hosts/LoopbackCall.cpp \
    $(pkg-config --cflags --libs voiceengine) -Wl,-rpath,"$(pkg-config --variable=libdir voiceengine)"
# Host 2: CMake's find_package.
cmake -S examples/hosts -B "$scratch/host-cmake" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$scratch/host-cmake" >/dev/null
set +x

# Both run against the unpacked library, not one from the build tree or the system.
for host in "$scratch/host-pkgconfig" "$scratch/host-cmake/loopback-call"; do
  loaded=$(ldd "$host" | awk '/libvoiceengine/ {print $3}')
  [ "$(realpath "$loaded")" = "$(realpath "$libdir/libvoiceengine.so.$abi")" ] || fail "$host loads $loaded"
  timeout 20 "$host" 1.5 || fail "$host: no call between the two engines"
done
"$prefix/bin/vecall" --help >/dev/null || fail "the packaged vecall does not run"
echo "packages OK"
