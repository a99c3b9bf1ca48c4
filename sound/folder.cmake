if(WIN32)
  # The system's own wave output (winmm).
  target_link_libraries(tonewell_sound PUBLIC winmm)
else()
  # ALSA and the sound server's client library.
  target_link_libraries(tonewell_sound PUBLIC asound pulse)
endif()
