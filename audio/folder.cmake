# The device objects are tested over the sound systems of sound/.
if(TARGET audio_tests)
  target_link_libraries(audio_tests PRIVATE tonewell_sound)
endif()
