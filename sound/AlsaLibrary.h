#pragma once
// libasound, loaded at run time (platform/ClientLibrary.h) when the ALSA output
// is used: a run on another output never loads it, and a machine without it
// gets a report naming the library and its package instead of a program
// that does not start.

#include <alsa/asoundlib.h>

#include <string>

#include "platform/ClientLibrary.h"

namespace tw {

// Every libasound function the ALSA output calls.
#define TW_ALSA_FUNCTIONS(X)                \
  X(snd_lib_error_set_handler)              \
  X(snd_strerror)                           \
  X(snd_pcm_open)                           \
  X(snd_pcm_close)                          \
  X(snd_pcm_type)                           \
  X(snd_pcm_state)                          \
  X(snd_pcm_delay)                          \
  X(snd_pcm_avail_update)                   \
  X(snd_pcm_writei)                         \
  X(snd_pcm_prepare)                        \
  X(snd_pcm_drop)                           \
  X(snd_pcm_drain)                          \
  X(snd_pcm_nonblock)                       \
  X(snd_pcm_pause)                          \
  X(snd_pcm_resume)                         \
  X(snd_pcm_poll_descriptors_count)         \
  X(snd_pcm_poll_descriptors)               \
  X(snd_pcm_poll_descriptors_revents)       \
  X(snd_pcm_hw_params_malloc)               \
  X(snd_pcm_hw_params_free)                 \
  X(snd_pcm_hw_params_copy)                 \
  X(snd_pcm_hw_params_any)                  \
  X(snd_pcm_hw_params_set_access)           \
  X(snd_pcm_hw_params_set_format)           \
  X(snd_pcm_hw_params_set_channels)         \
  X(snd_pcm_hw_params_set_rate)             \
  X(snd_pcm_hw_params_test_rate)            \
  X(snd_pcm_hw_params_set_buffer_time_near) \
  X(snd_pcm_hw_params_set_period_time_near) \
  X(snd_pcm_hw_params)                      \
  X(snd_pcm_hw_params_can_pause)            \
  X(snd_pcm_hw_params_get_buffer_size)      \
  X(snd_pcm_hw_params_get_period_size)      \
  X(snd_pcm_sw_params_malloc)               \
  X(snd_pcm_sw_params_free)                 \
  X(snd_pcm_sw_params_current)              \
  X(snd_pcm_sw_params_set_start_threshold)  \
  X(snd_pcm_sw_params_set_avail_min)        \
  X(snd_pcm_sw_params_get_boundary)         \
  X(snd_pcm_sw_params_set_stop_threshold)   \
  X(snd_pcm_sw_params)

TW_CLIENT_LIBRARY_TABLE(AlsaApi, TW_ALSA_FUNCTIONS);

// libasound's functions, loaded on the first call (from any thread; ALSA's
// own diagnostics on standard error are silenced then: every reason comes
// back as an error code). Null when the library cannot be loaded; `error`
// then says why, naming the library and its Debian package.
const AlsaApi* AlsaLibrary(std::string& error);

}  // namespace tw
