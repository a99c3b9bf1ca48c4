# The format conversion service resamples with libsoxr.
target_link_libraries(tonewell_platform PUBLIC soxr)
