# Which files make up the build on this system.
#
# A service that differs between systems has one file per system, chosen here
# by its name: NAME_posix.cpp is built on Linux (and other POSIX systems) only,
# NAME_windows.cpp on Windows only; the same holds for their tests
# (NAME_posix_test.cpp, NAME_windows_test.cpp). Pieces that exist on one
# system only and have no counterpart are listed in TONEWELL_LEFT_OUT (paths
# from the source root, without ".cpp").
if(WIN32)
  set(TONEWELL_OTHER_SYSTEM_SUFFIX "_posix")
  set(TONEWELL_LEFT_OUT
      # The Linux sound systems and their tests.
      sound/Alsa sound/Alsa_test sound/AlsaDevice sound/AlsaFormat sound/AlsaLibrary
      sound/AlsaPlayback sound/AlsaPlayback_test sound/AlsaWorker
      sound/Pulse sound/Pulse_test sound/PulseConnection sound/PulseFormat sound/PulseSettings
      sound/PulseStream sound/PulseStreamDrain sound/PulseStreamQueue
      sound/PipeWire sound/PipeWire_test sound/PipeWireConnection
      sound/PipeWireStream sound/PipeWireStreamQueue sound/ServerSetting
      # Tests against Linux peers: the WAV recorder's files read back by SoX
      # and Python, the wave container and conversion against SoX. (The
      # Windows build's recordings are compared byte for byte with the Linux
      # build's in CI instead.)
      sound/WavRecorder_test audio/WavePeers_test audio/WaveConvertPeers_test
      # The terminal view through curses and terminfo, and its tests on
      # pseudo-terminals; the Windows build draws on the console
      # (view/Console*_windows.cpp).
      view/CursesScreen view/LineScreen view/ViewScreen_test view/BattleView_test
      driver/TonewellView_test)
  # A self-contained program: the C and C++ runtimes and the thread library
  # are linked in, so the .exe needs no DLL beside it but the system's own.
  add_link_options(-static)
  # 64-bit file offsets (a WAV recording may grow past 2 GiB). The C runtime
  # has no O_CLOEXEC, which every open of ours passes: there it means a
  # handle child processes do not inherit, opened binary (the runtime's
  # default would write each LF as CR LF).
  add_compile_definitions(_FILE_OFFSET_BITS=64 "O_CLOEXEC=(_O_NOINHERIT|_O_BINARY)")
  # The system's headers, where a file includes them, without min and max
  # macros, and windows.h without the multimedia headers: their constants
  # are macros with the names of ours (platform/mmsystem.h), so only the few
  # files that call the system's multimedia functions include them.
  add_compile_definitions(NOMINMAX WIN32_LEAN_AND_MEAN)
else()
  set(TONEWELL_OTHER_SYSTEM_SUFFIX "_windows")
  set(TONEWELL_LEFT_OUT)
endif()

# True in OUT when SOURCE (a full path) is not part of this system's build.
function(tonewell_left_out source out)
  file(RELATIVE_PATH rel ${CMAKE_SOURCE_DIR} ${source})
  string(REGEX REPLACE "\\.cpp$" "" rel ${rel})
  get_filename_component(base ${rel} NAME)
  # NAME_wasm.cpp: the WebAssembly build's alone (make web).
  if(base MATCHES "${TONEWELL_OTHER_SYSTEM_SUFFIX}(_test)?$" OR base MATCHES "_wasm$"
     OR rel IN_LIST TONEWELL_LEFT_OUT)
    set(${out} TRUE PARENT_SCOPE)
  else()
    set(${out} FALSE PARENT_SCOPE)
  endif()
endfunction()

# The sources of this system's build among SOURCES, into OUT.
function(tonewell_this_system out)
  set(kept)
  foreach(src IN LISTS ARGN)
    tonewell_left_out(${src} left_out)
    if(NOT left_out)
      list(APPEND kept ${src})
    endif()
  endforeach()
  set(${out} ${kept} PARENT_SCOPE)
endfunction()
