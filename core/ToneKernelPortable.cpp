// The tone kernel in two double lanes for any x86-64 processor (SSE2), or
// whatever vectors the target offers for 16-byte vectors.
#define TONE_KERNEL_NAME RunToneKernelPortable
#define TONE_KERNEL_LANES 2
#define TONE_KERNEL_FMA 0
#include "core/ToneKernelBody.h"
