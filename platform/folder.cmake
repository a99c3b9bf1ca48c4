# The ALSA output backend links libasound.
target_link_libraries(tonewell_platform PUBLIC asound)
