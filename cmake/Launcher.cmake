# Common settings for the project's own targets.

# Compile options of our code: strict warnings, Unicode Windows API.
function(launcher_target_defaults target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor
                                           -Werror)
  target_compile_definitions(${target} PUBLIC UNICODE _UNICODE NOMINMAX WIN32_LEAN_AND_MEAN
                                              _WIN32_WINNT=0x0601 WINVER=0x0601)
endfunction()

# One static library per subsystem; its headers are reached as "<subsystem>/<header>.h".
function(launcher_library name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS" ${ARGN})
  if(NOT ARG_SOURCES)
    # A subsystem whose sources have not landed yet.
    add_library(${name} INTERFACE)
    target_include_directories(${name} INTERFACE ${CMAKE_SOURCE_DIR}/Launcher)
    target_link_libraries(${name} INTERFACE ${ARG_DEPS})
    return()
  endif()
  add_library(${name} STATIC ${ARG_SOURCES})
  launcher_target_defaults(${name})
  target_include_directories(${name} PUBLIC ${CMAKE_SOURCE_DIR}/Launcher)
  target_link_libraries(${name} PUBLIC ${ARG_DEPS})
endfunction()

# Windows programs link their C and C++ runtimes statically, so they run on a
# clean Windows without MinGW's DLLs.
function(launcher_static_runtime target)
  target_link_options(${target} PRIVATE -static -static-libgcc -static-libstdc++ -municode)
endfunction()

# A GoogleTest program run by CTest under Wine; each test gets its own folder.
function(launcher_test name)
  cmake_parse_arguments(ARG "" "TIMEOUT" "SOURCES;DEPS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES} ${CMAKE_SOURCE_DIR}/tests/support/test_main.cc
                         ${CMAKE_SOURCE_DIR}/tests/support/test_process.cc)
  launcher_target_defaults(${name})
  launcher_static_runtime(${name})
  target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR}/tests/support
                                             ${CMAKE_SOURCE_DIR}/tests)
  target_link_libraries(${name} PRIVATE ${ARG_DEPS} deps::gmock deps::gtest)
  add_test(NAME ${name} COMMAND ${name})
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 300)
  endif()
  set_tests_properties(${name} PROPERTIES TIMEOUT ${ARG_TIMEOUT})
endfunction()

# One test program per "*_test.cc" file of the calling folder, named
# <prefix>_<file name without .cc>.
function(launcher_tests_per_file prefix)
  cmake_parse_arguments(ARG "" "" "DEPS" ${ARGN})
  file(GLOB _tests CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*_test.cc)
  foreach(_src IN LISTS _tests)
    get_filename_component(_name ${_src} NAME_WE)
    launcher_test(${prefix}_${_name} SOURCES ${_src} DEPS ${ARG_DEPS})
  endforeach()
endfunction()
