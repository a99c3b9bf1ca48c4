if(WIN32)
  # The system's conversion manager (msacm32), and winmm for the timer
  # resolution of the thread timing.
  target_link_libraries(tonewell_platform PUBLIC winmm msacm32)
else()
  # The format conversion service resamples with libsoxr; client libraries
  # are loaded at run time (ClientLibrary_posix.cpp).
  target_link_libraries(tonewell_platform PUBLIC soxr ${CMAKE_DL_LIBS})
endif()
# The wave output functions are tested over the sound systems of sound/.
if(TARGET platform_tests)
  target_link_libraries(platform_tests PRIVATE tonewell_sound)
endif()
