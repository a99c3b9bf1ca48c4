# The banner names the program's version.
target_compile_definitions(tonewell_driver PRIVATE TONEWELL_VERSION="${PROJECT_VERSION}")
# The end-to-end tests run the built program.
if(TARGET driver_tests)
  add_dependencies(driver_tests tonewell)
endif()
if(TARGET driver_tests)
  target_compile_definitions(driver_tests PRIVATE TONEWELL_TEST_VERSION="${PROJECT_VERSION}")
endif()
