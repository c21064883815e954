# `make package`: on Linux three Debian packages (cpack -G DEB in the build folder), named as
# Debian names library packages; on Windows one zip.
#   libvoiceengine<ABI>  the shared library, named after its SONAME
#   libvoiceengine-dev   headers, the development link, pkg-config file and CMake package
#   voiceengine-tools    vecall and callreport
set(CPACK_PACKAGE_NAME voiceengine)
set(CPACK_PACKAGE_VENDOR "voiceengine developers")
set(CPACK_PACKAGE_CONTACT "voiceengine developers <voiceengine@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "The media half of a softphone: RTP/RTCP, G.711 and G.729 calls")
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/packages)
# Without debug information, as distributions ship libraries and programs.
set(CPACK_STRIP_FILES ON)
set(CPACK_COMPONENTS_ALL runtime dev tools)
set(CPACK_COMPONENT_DEV_DEPENDS runtime)
set(CPACK_COMPONENT_TOOLS_DEPENDS runtime)

if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_ARCHIVE_COMPONENT_INSTALL OFF)
  if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    set(CPACK_PACKAGE_FILE_NAME voiceengine-${PROJECT_VERSION}-win32)
  else()
    set(CPACK_PACKAGE_FILE_NAME voiceengine-${PROJECT_VERSION}-win64)
  endif()
  include(CPack)
  return()
endif()

set(_ve_runtime_package libvoiceengine${VE_ABI_VERSION})
set(CPACK_GENERATOR DEB)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME ${_ve_runtime_package})
set(CPACK_DEBIAN_DEV_PACKAGE_NAME libvoiceengine-dev)
set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME voiceengine-tools)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION sound)
set(CPACK_COMPONENT_RUNTIME_DESCRIPTION "voiceengine shared library
 The media half of a softphone: captures, encodes (G.711, G.729) and sends audio as RTP,
 runs RTCP, and receives, buffers and plays the peer's audio.")
set(CPACK_COMPONENT_DEV_DESCRIPTION "voiceengine development files
 Headers, pkg-config file and CMake package for building hosts of the voiceengine library.")
set(CPACK_COMPONENT_TOOLS_DESCRIPTION "voiceengine call tools
 vecall places one end of a call from the command line; callreport compares sent and
 received speech.")
# Dependencies: the system libraries from dpkg-shlibdeps, the runtime package (same version)
# from the component dependencies above. The library's own folder in the build lets
# dpkg-shlibdeps resolve the tools' link to it.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${PROJECT_BINARY_DIR}/src/engine)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)

# Each package carries the copyright file, which names the licences of the libraries linked.
foreach(_component runtime dev tools)
  string(TOUPPER ${_component} _upper)
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/copyright
          DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${CPACK_DEBIAN_${_upper}_PACKAGE_NAME} COMPONENT ${_component})
endforeach()

include(CPack)
