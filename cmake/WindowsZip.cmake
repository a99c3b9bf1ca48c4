# The Windows release archive: target windows_zip makes
# tonewell-VERSION-win64.zip in the build folder (VERSION from project()).
# It holds one folder of that name with what a Windows user needs to play at
# once, from that folder, `tonewell.exe Mice.red Piper.red 1000`:
#   tonewell.exe, tonewell-asm.exe   the programs, stripped of their symbols
#   *.red, source\*.red              the example warriors (load form, source)
#   README.txt                       the first-run section, then the README
#   LICENSE.txt                      (both with CR LF line ends)
# The work is cmake/WindowsZipMake.cmake's, run as a script at build time.
set(TONEWELL_ZIP_NAME tonewell-${PROJECT_VERSION}-win64)
add_custom_target(windows_zip
  COMMAND ${CMAKE_COMMAND}
    -DSOURCE_DIR=${CMAKE_SOURCE_DIR}
    -DSTAGE=${CMAKE_BINARY_DIR}/zip/${TONEWELL_ZIP_NAME}
    -DZIP=${CMAKE_BINARY_DIR}/${TONEWELL_ZIP_NAME}.zip
    -DSTRIP=${CMAKE_STRIP}
    -DPROGRAMS=$<TARGET_FILE:tonewell>$<SEMICOLON>$<TARGET_FILE:tonewell-asm>
    -P ${CMAKE_SOURCE_DIR}/cmake/WindowsZipMake.cmake
  DEPENDS tonewell tonewell-asm
  COMMENT "Packing ${TONEWELL_ZIP_NAME}.zip"
  VERBATIM)
