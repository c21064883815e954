# ve_header_only: the header-only libraries the tools and tests use, from the distribution's
# packages: the command-line parser (libcli11-dev) and JSON (nlohmann-json3-dev).
# A native build finds them through their CMake packages. A cross build does not search the
# build machine's /usr/include (its headers are not the target's), so it sees these two header
# folders alone through links in a folder of the build tree.
set(VE_HEADER_ONLY_ROOT /usr/include CACHE PATH "Where the header-only libraries' folders CLI/ and nlohmann/ are")
add_library(ve_header_only INTERFACE)
if(CMAKE_CROSSCOMPILING)
  set(_links ${CMAKE_BINARY_DIR}/header-only)
  file(MAKE_DIRECTORY ${_links})
  foreach(_header CLI/CLI.hpp nlohmann/json.hpp)
    if(NOT EXISTS ${VE_HEADER_ONLY_ROOT}/${_header})
      message(FATAL_ERROR "${VE_HEADER_ONLY_ROOT}/${_header} is missing: install libcli11-dev and nlohmann-json3-dev")
    endif()
    get_filename_component(_folder ${_header} DIRECTORY)
    file(CREATE_LINK ${VE_HEADER_ONLY_ROOT}/${_folder} ${_links}/${_folder} SYMBOLIC)
  endforeach()
  target_include_directories(ve_header_only SYSTEM INTERFACE ${_links})
else()
  find_package(CLI11 CONFIG REQUIRED)
  find_package(nlohmann_json 3 CONFIG REQUIRED)
  target_link_libraries(ve_header_only INTERFACE CLI11::CLI11 nlohmann_json::nlohmann_json)
endif()
