# tonewell_folder(NAME [DEPENDENCIES...])
#
# Builds the static library tonewell_NAME from every NAME/*.cpp that is not a
# test, benchmark, fuzz target or the program's main, and the test program
# NAME_tests from every NAME/*_test.cpp. A folder may add its own settings in
# NAME/folder.cmake (extra system libraries, for example); it runs after the
# targets exist.
include(GoogleTest)
if(TONEWELL_TESTS)
  find_package(GTest REQUIRED)
  enable_testing()
endif()

function(tonewell_folder name)
  set(dir ${CMAKE_SOURCE_DIR}/${name})
  file(GLOB all_sources CONFIGURE_DEPENDS ${dir}/*.cpp)
  set(lib_sources)
  set(test_sources)
  foreach(src IN LISTS all_sources)
    get_filename_component(base ${src} NAME)
    if(base MATCHES "_test\\.cpp$")
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
    target_link_libraries(${name}_tests PRIVATE ${lib} GTest::gtest GTest::gmock GTest::gtest_main)
    # Tests find the built program, the project's examples and the shared corpus through these.
    target_compile_definitions(${name}_tests PRIVATE
      TONEWELL_SOURCE_DIR="${CMAKE_SOURCE_DIR}"
      TONEWELL_BINARY_DIR="${CMAKE_BINARY_DIR}")
    gtest_discover_tests(${name}_tests
      WORKING_DIRECTORY ${CMAKE_BINARY_DIR}
      DISCOVERY_MODE PRE_TEST
      PROPERTIES TIMEOUT 600)
  endif()

  if(EXISTS ${dir}/folder.cmake)
    include(${dir}/folder.cmake)
  endif()
endfunction()
