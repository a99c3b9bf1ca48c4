if(WIN32)
  # The system's own wave output (winmm).
  target_link_libraries(tonewell_sound PUBLIC winmm)
else()
  # ALSA (libasound), the sound server (libpulse) and PipeWire
  # (libpipewire-0.3) are loaded at run time, when their output is chosen
  # (platform/ClientLibrary.h): only their headers are needed to build.
  find_package(PkgConfig REQUIRED)
  pkg_check_modules(TONEWELL_PIPEWIRE REQUIRED IMPORTED_TARGET libpipewire-0.3)
  target_include_directories(tonewell_sound SYSTEM PUBLIC ${TONEWELL_PIPEWIRE_INCLUDE_DIRS})
endif()
