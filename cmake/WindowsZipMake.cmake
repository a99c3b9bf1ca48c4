# Makes the Windows release archive (see cmake/WindowsZip.cmake). Run as
#   cmake -DSOURCE_DIR=... -DSTAGE=DIR/NAME -DZIP=FILE -DSTRIP=PROGRAM
#         -DPROGRAMS=EXE;EXE -P WindowsZipMake.cmake
# STAGE's last part is the folder the archive holds; it is made anew.

# Writes `text` to `path` with CR LF line ends (the file's own LF or CR LF
# become CR LF alike), as Windows' own editors expect.
function(write_crlf path text)
  string(REPLACE "\r\n" "\n" text "${text}")
  string(REPLACE "\n" "\r\n" text "${text}")
  file(WRITE ${path} "${text}")
endfunction()

# README.md's section "### First run on Windows", up to the next heading.
function(first_run_section readme out)
  string(FIND "${readme}" "### First run on Windows" start)
  if(start EQUAL -1)
    message(FATAL_ERROR "README.md has no section \"### First run on Windows\"")
  endif()
  string(SUBSTRING "${readme}" ${start} -1 rest)
  string(LENGTH "### First run on Windows" heading)
  string(SUBSTRING "${rest}" ${heading} -1 body)
  string(REGEX MATCH "^[^#]*" body "${body}")
  string(STRIP "${body}" body)
  set(${out} "First run on Windows\n====================\n\n${body}\n\n\n" PARENT_SCOPE)
endfunction()

file(REMOVE_RECURSE ${STAGE})
file(REMOVE ${ZIP})
file(MAKE_DIRECTORY ${STAGE}/source)

foreach(program IN LISTS PROGRAMS)
  file(COPY ${program} DESTINATION ${STAGE})
  get_filename_component(name ${program} NAME)
  if(STRIP)
    execute_process(COMMAND ${STRIP} ${STAGE}/${name} COMMAND_ERROR_IS_FATAL ANY)
  endif()
endforeach()

file(GLOB examples ${SOURCE_DIR}/examples/*.red)
file(COPY ${examples} DESTINATION ${STAGE})
file(GLOB source_examples ${SOURCE_DIR}/examples/source/*.red)
file(COPY ${source_examples} DESTINATION ${STAGE}/source)

file(READ ${SOURCE_DIR}/README.md readme)
first_run_section("${readme}" first_run)
write_crlf(${STAGE}/README.txt "${first_run}${readme}")
file(READ ${SOURCE_DIR}/LICENSE license)
write_crlf(${STAGE}/LICENSE.txt "${license}")

get_filename_component(stage_parent ${STAGE} DIRECTORY)
get_filename_component(stage_name ${STAGE} NAME)
execute_process(COMMAND ${CMAKE_COMMAND} -E tar cf ${ZIP} --format=zip ${stage_name}
                WORKING_DIRECTORY ${stage_parent} COMMAND_ERROR_IS_FATAL ANY)
file(SIZE ${ZIP} size)
message(STATUS "${ZIP}: ${size} bytes")
