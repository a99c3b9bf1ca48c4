# The ALSA output backend links libasound.
target_link_libraries(tonewell_platform PUBLIC asound)
# The format conversion service resamples with libsoxr.
target_link_libraries(tonewell_platform PUBLIC soxr)
# The sound server output backend links the PulseAudio client library.
target_link_libraries(tonewell_platform PUBLIC pulse)
