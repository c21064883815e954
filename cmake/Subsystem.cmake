# ve_subsystem(NAME DEPS...): a static library from every .cpp in the calling folder.
# Each subsystem folder is one library; adding a component is adding its .h/.cpp pair.
function(ve_subsystem name)
  file(GLOB _sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  if(_sources)
    add_library(${name} STATIC ${_sources})
    target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR}/src ${PROJECT_SOURCE_DIR}/include)
    target_link_libraries(${name} PUBLIC ${ARGN})
  else()
    # A subsystem with no sources yet still exists as a target, so dependents link uniformly.
    add_library(${name} INTERFACE)
    target_include_directories(${name} INTERFACE ${PROJECT_SOURCE_DIR}/src ${PROJECT_SOURCE_DIR}/include)
    target_link_libraries(${name} INTERFACE ${ARGN})
  endif()
endfunction()

# ve_test_suite(NAME DEPS...): one GoogleTest program from every *Test.cpp in the calling folder.
function(ve_test_suite name)
  file(GLOB _tests CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*Test.cpp)
  if(NOT _tests)
    return()
  endif()
  add_executable(${name} ${_tests})
  target_link_libraries(${name} PRIVATE ${ARGN} ve_test_support GTest::gtest GTest::gtest_main GTest::gmock)
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 300)
endfunction()
