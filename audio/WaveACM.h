#pragma once
// The format conversion service as the wave code uses it: opening a
// conversion between two wave formats, sizing the destination, converting a
// buffer in one call, suggesting a PCM format. The service itself lives in
// platform/ (see platform/msacm.h for what it converts).

#include "platform/msacm.h"
