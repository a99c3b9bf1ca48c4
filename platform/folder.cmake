if(WIN32)
  # The system's own wave output (winmm) and conversion manager (msacm32).
  target_link_libraries(tonewell_platform PUBLIC winmm msacm32)
else()
  # The ALSA output backend links libasound.
  target_link_libraries(tonewell_platform PUBLIC asound)
  # The format conversion service resamples with libsoxr.
  target_link_libraries(tonewell_platform PUBLIC soxr)
  # The sound server output backend links the PulseAudio client library.
  target_link_libraries(tonewell_platform PUBLIC pulse)
endif()
