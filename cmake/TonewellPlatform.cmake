# Which files make up the build on this system.
#
# A service that differs between systems has one file per system, chosen here
# by its name: NAME_posix.cpp is built on Linux (and other POSIX systems) only,
# NAME_windows.cpp on Windows only; the same holds for their tests
# (NAME_posix_test.cpp, NAME_windows_test.cpp). Pieces that exist on one
# system only and have no counterpart are listed in TONEWELL_LEFT_OUT (paths
# from the source root, without ".cpp"): the Windows build leaves out the
# Linux sound systems and the tests that need Linux tools (SoX, fork, POSIX
# spawning).
if(WIN32)
  set(TONEWELL_OTHER_SYSTEM_SUFFIX "_posix")
  set(TONEWELL_LEFT_OUT
      platform/WaveOutAlsa platform/WaveOutAlsa_test
      platform/WaveOutPulse platform/WaveOutPulse_test
      platform/WaveOutWav_test
      audio/WavePeers_test audio/WaveConvertPeers_test
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
  # The system's headers, where a file includes them, without min and max macros.
  add_compile_definitions(NOMINMAX)
else()
  set(TONEWELL_OTHER_SYSTEM_SUFFIX "_windows")
  set(TONEWELL_LEFT_OUT)
endif()

# True in OUT when SOURCE (a full path) is not part of this system's build.
function(tonewell_left_out source out)
  file(RELATIVE_PATH rel ${CMAKE_SOURCE_DIR} ${source})
  string(REGEX REPLACE "\\.cpp$" "" rel ${rel})
  get_filename_component(base ${rel} NAME)
  if(base MATCHES "${TONEWELL_OTHER_SYSTEM_SUFFIX}(_test)?$" OR rel IN_LIST TONEWELL_LEFT_OUT)
    set(${out} TRUE PARENT_SCOPE)
  else()
    set(${out} FALSE PARENT_SCOPE)
  endif()
endfunction()
