if(WIN32)
  # The system's own wave output (winmm).
  target_link_libraries(tonewell_sound PUBLIC winmm)
else()
  # ALSA and the sound server's client library.
  target_link_libraries(tonewell_sound PUBLIC asound pulse)
endif()
if(NOT WIN32)
  # Client libraries loaded at run time (sound/ClientLibrary.h).
  target_link_libraries(tonewell_sound PUBLIC ${CMAKE_DL_LIBS})
endif()
