# Sanitizer builds share one source tree: ASan with UBSan, or TSan.
if(VE_SANITIZE STREQUAL "address")
  set(_ve_san -fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
elseif(VE_SANITIZE STREQUAL "thread")
  set(_ve_san -fsanitize=thread -fno-omit-frame-pointer)
elseif(NOT VE_SANITIZE STREQUAL "")
  message(FATAL_ERROR "VE_SANITIZE must be empty, address or thread")
endif()
if(_ve_san)
  # -O1 keeps the signal processing fast enough for the real-time tests; -g keeps line numbers.
  add_compile_options(${_ve_san} -O1 -g)
  add_link_options(${_ve_san})
endif()

# Fuzz builds instrument every library for coverage and run under ASan + UBSan.
if(VE_BUILD_FUZZ)
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()
