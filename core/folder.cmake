# The tone kernels round every operation as written (their error bound counts
# each rounding); the AVX2 one is built for that instruction set only and
# called only on processors that have it.
set_source_files_properties(
  ${CMAKE_SOURCE_DIR}/core/ToneKernelPortable.cpp
  PROPERTIES COMPILE_OPTIONS "-ffp-contract=off")
if(CMAKE_SYSTEM_PROCESSOR MATCHES "x86_64|AMD64")
  set_source_files_properties(
    ${CMAKE_SOURCE_DIR}/core/ToneKernelAvx2.cpp
    PROPERTIES COMPILE_OPTIONS "-ffp-contract=off;-mavx2;-mfma")
endif()
# The software extended arithmetic's cos and sin are checked against the
# 113-bit library GCC ships.
if(TONEWELL_TESTS AND NOT WIN32 AND CMAKE_CXX_COMPILER_ID STREQUAL "GNU"
   AND CMAKE_SYSTEM_PROCESSOR MATCHES "x86_64|AMD64")
  target_link_libraries(core_tests PRIVATE quadmath)
  target_compile_definitions(core_tests PRIVATE TONEWELL_HAVE_QUADMATH=1)
endif()
