# What `cmake --install` puts in place: the shared library with its SONAME and development
# link, the public headers, a pkg-config file and a CMake package (both relocatable), and the
# tools. The components are the Debian packages: runtime, dev and tools.
include(CMakePackageConfigHelpers)

set(_ve_cmakedir ${CMAKE_INSTALL_LIBDIR}/cmake/VoiceEngine)

if(WIN32)
  # The Windows zip: the DLL, its import library and module-definition file, the headers, the
  # call tool.
  install(TARGETS voiceengine RUNTIME DESTINATION bin COMPONENT runtime ARCHIVE DESTINATION lib COMPONENT dev)
  install(FILES ${PROJECT_SOURCE_DIR}/src/engine/voiceengine.def DESTINATION lib COMPONENT dev)
  install(DIRECTORY ${PROJECT_SOURCE_DIR}/include/voiceengine DESTINATION include COMPONENT dev)
  install(TARGETS vecall RUNTIME DESTINATION bin COMPONENT tools)
  return()
endif()

install(TARGETS voiceengine EXPORT VoiceEngineTargets
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT dev)
install(DIRECTORY ${PROJECT_SOURCE_DIR}/include/voiceengine DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}
        COMPONENT dev)

install(EXPORT VoiceEngineTargets NAMESPACE VoiceEngine:: DESTINATION ${_ve_cmakedir} COMPONENT dev)
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/VoiceEngineConfig.cmake.in
                              ${PROJECT_BINARY_DIR}/VoiceEngineConfig.cmake INSTALL_DESTINATION ${_ve_cmakedir})
# Before 1.0 every minor version may change the interface; from 1.0 on, the major version.
if(PROJECT_VERSION_MAJOR EQUAL 0)
  set(_ve_compatibility SameMinorVersion)
else()
  set(_ve_compatibility SameMajorVersion)
endif()
write_basic_package_version_file(${PROJECT_BINARY_DIR}/VoiceEngineConfigVersion.cmake
                                 COMPATIBILITY ${_ve_compatibility})
install(FILES ${PROJECT_BINARY_DIR}/VoiceEngineConfig.cmake ${PROJECT_BINARY_DIR}/VoiceEngineConfigVersion.cmake
        DESTINATION ${_ve_cmakedir} COMPONENT dev)

# pkg-config: the prefix is the path from the .pc file's folder up to the install prefix.
file(RELATIVE_PATH VE_PC_PREFIX_FROM_PCDIR /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
string(REGEX REPLACE "/$" "" VE_PC_PREFIX_FROM_PCDIR "${VE_PC_PREFIX_FROM_PCDIR}")
configure_file(${PROJECT_SOURCE_DIR}/cmake/voiceengine.pc.in ${PROJECT_BINARY_DIR}/voiceengine.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/voiceengine.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT dev)

# The tools find the library beside their own folder, wherever the tree was installed.
set_target_properties(vecall PROPERTIES INSTALL_RPATH "$ORIGIN/../${CMAKE_INSTALL_LIBDIR}")
install(TARGETS vecall callreport RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tools)
