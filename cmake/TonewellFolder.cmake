# tonewell_folder(NAME [DEPENDENCIES...])
#
# Builds the static library tonewell_NAME from every NAME/*.cpp that is not a
# test, benchmark, fuzz target or the program's main, and the test program
# NAME_tests from every NAME/*_test.cpp. A folder may add its own settings in
# NAME/folder.cmake (extra system libraries, for example); it runs after the
# targets exist. Files of another system (cmake/TonewellPlatform.cmake) are
# skipped.
include(GoogleTest)
include(${CMAKE_CURRENT_LIST_DIR}/TonewellPlatform.cmake)
if(TONEWELL_TESTS)
  if(CMAKE_CROSSCOMPILING)
    # No GoogleTest libraries for the target system: built from the sources
    # Debian's googletest package ships.
    set(TONEWELL_GTEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest sources for a cross-build")
    set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
    add_subdirectory(${TONEWELL_GTEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
    foreach(target gtest gtest_main gmock gmock_main)
      target_compile_options(${target} PRIVATE -Wno-error -Og)
    endforeach()
  else()
    find_package(GTest REQUIRED)
  endif()
  enable_testing()
  # What the test programs share (testing/): headers, and the few sources
  # that differ per system, built once into a library every test program links.
  file(GLOB tonewell_testing_sources CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/testing/*.cpp)
  tonewell_this_system(tonewell_testing_built ${tonewell_testing_sources})
  add_library(tonewell_testing STATIC ${tonewell_testing_built})
  target_include_directories(tonewell_testing PUBLIC ${CMAKE_SOURCE_DIR})
  target_link_libraries(tonewell_testing PUBLIC GTest::gtest GTest::gmock)
  # Most of a test file's compile time is the test framework's headers: they
  # are precompiled once, here, and every test program reuses that (each
  # program precompiling its own cost as much as a dozen test files).
  if(WIN32)
    # The cross-build's slowest part is the test programs' own code, most of
    # the code there is: it is optimised only lightly (what the tests test,
    # the libraries, keeps the build's optimisation), and the POSIX stand-ins
    # the tests use are precompiled with the framework.
    target_compile_options(tonewell_testing PUBLIC -Og)
    target_precompile_headers(tonewell_testing PRIVATE
      ${CMAKE_SOURCE_DIR}/runtime/PosixTestShims_windows.h <gmock/gmock.h> <gtest/gtest.h>)
  else()
    target_precompile_headers(tonewell_testing PRIVATE <gmock/gmock.h> <gtest/gtest.h>)
  endif()
endif()

function(tonewell_folder name)
  set(dir ${CMAKE_SOURCE_DIR}/${name})
  file(GLOB all_sources CONFIGURE_DEPENDS ${dir}/*.cpp)
  set(lib_sources)
  set(test_sources)
  foreach(src IN LISTS all_sources)
    get_filename_component(base ${src} NAME)
    tonewell_left_out(${src} left_out)
    if(left_out)
      # another system's
    elseif(base MATCHES "_test\\.cpp$")
      list(APPEND test_sources ${src})
    elseif(base MATCHES "(_bench|_perftest|_fuzz)\\.cpp$" OR base STREQUAL "main.cpp")
      # built elsewhere
    else()
      list(APPEND lib_sources ${src})
    endif()
  endforeach()

  set(lib tonewell_${name})
  set(deps)
  foreach(dep IN LISTS ARGN)
    list(APPEND deps tonewell_${dep})
  endforeach()

  if(lib_sources)
    add_library(${lib} STATIC ${lib_sources})
    target_include_directories(${lib} PUBLIC ${CMAKE_SOURCE_DIR})
    target_link_libraries(${lib} PUBLIC ${deps} Threads::Threads)
  else()
    add_library(${lib} INTERFACE)
    target_include_directories(${lib} INTERFACE ${CMAKE_SOURCE_DIR})
    target_link_libraries(${lib} INTERFACE ${deps} Threads::Threads)
  endif()

  if(TONEWELL_TESTS AND test_sources)
    add_executable(${name}_tests ${test_sources})
    target_link_libraries(${name}_tests PRIVATE ${lib} tonewell_testing GTest::gtest GTest::gmock
                                                GTest::gtest_main)
    target_precompile_headers(${name}_tests REUSE_FROM tonewell_testing)
    # Tests find the built program, the project's examples and the shared corpus through these.
    target_compile_definitions(${name}_tests PRIVATE
      TONEWELL_SOURCE_DIR="${CMAKE_SOURCE_DIR}"
      TONEWELL_BINARY_DIR="${CMAKE_BINARY_DIR}")
    if(CMAKE_CROSSCOMPILING)
      # One run per test program: starting a program through an emulator
      # costs far more than one test case.
      add_test(NAME ${name}_tests COMMAND ${name}_tests WORKING_DIRECTORY ${CMAKE_BINARY_DIR})
      set_tests_properties(${name}_tests PROPERTIES TIMEOUT 600)
    else()
      gtest_discover_tests(${name}_tests
        WORKING_DIRECTORY ${CMAKE_BINARY_DIR}
        DISCOVERY_MODE PRE_TEST
        PROPERTIES TIMEOUT 600)
    endif()
  endif()

  if(EXISTS ${dir}/folder.cmake)
    include(${dir}/folder.cmake)
  endif()
endfunction()
