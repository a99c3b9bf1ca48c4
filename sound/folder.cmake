if(WIN32)
  # The system's own wave output (winmm).
  target_link_libraries(tonewell_sound PUBLIC winmm)
else()
  # The sound server's client library. (libasound is loaded at run time:
  # sound/AlsaLibrary.h; only its headers are needed to build.)
  target_link_libraries(tonewell_sound PUBLIC pulse)
endif()
if(NOT WIN32)
  # Client libraries loaded at run time (sound/ClientLibrary.h).
  target_link_libraries(tonewell_sound PUBLIC ${CMAKE_DL_LIBS})
endif()
