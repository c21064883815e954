# ve_subsystem(NAME DEPS...): a static library from every .cpp in the calling folder, plus those
# of its subfolder for the target system (linux/ or win32/), where the parts that talk to the
# operating system live. Each subsystem folder is one library; adding a component is adding
# its .h/.cpp pair.
function(ve_subsystem name)
  file(GLOB _sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp
       ${CMAKE_CURRENT_SOURCE_DIR}/${VE_SYSTEM_DIR}/*.cpp)
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

# ve_test_headers(TARGET): the test framework's header, parsed once per test program instead of
# once per source file (most of a test file's compile time). A source that must set macros
# before any system header (WIN32_LEAN_AND_MEAN, NOMINMAX) sets SKIP_PRECOMPILE_HEADERS.
function(ve_test_headers target)
  target_precompile_headers(${target} PRIVATE <gtest/gtest.h> <chrono> <cstdint> <functional> <memory> <string>
                            <thread> <vector>)
endfunction()

# ve_test_suite(NAME DEPS...): one GoogleTest program from every *Test.cpp in the calling folder.
function(ve_test_suite name)
  file(GLOB _tests CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*Test.cpp)
  if(NOT _tests)
    return()
  endif()
  add_executable(${name} ${_tests})
  target_link_libraries(${name} PRIVATE ${ARGN} ve_test_support GTest::gtest GTest::gtest_main GTest::gmock)
  ve_test_headers(${name})
  if(CMAKE_CROSSCOMPILING)
    # Under an emulator each program start is costly: one test per program, which runs all
    # of its cases and prints their count.
    add_test(NAME ${name} COMMAND ${name} --gtest_brief=1)
    set_tests_properties(${name} PROPERTIES TIMEOUT 900)
  else()
    gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 300)
  endif()
endfunction()
