if(WIN32)
  # The system's conversion manager (msacm32), and winmm for the timer
  # resolution of the thread timing.
  target_link_libraries(tonewell_platform PUBLIC winmm msacm32)
else()
  # The sound systems' client libraries, and libsoxr, with which the format
  # conversion resamples, are loaded at run time (ClientLibrary_posix.cpp):
  # only their headers are needed to build.
  target_link_libraries(tonewell_platform PUBLIC ${CMAKE_DL_LIBS})
endif()
# The wave output functions are tested over the sound systems of sound/.
if(TARGET platform_tests)
  target_link_libraries(platform_tests PRIVATE tonewell_sound)
endif()
