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
