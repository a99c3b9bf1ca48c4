#pragma once
// The functions of the sound server's client library (libpulse) the
// sound-server output calls, loaded at run time when that output is chosen
// (platform/ClientLibrary.h): a run on another output never loads the library
// nor what it pulls in.

#include <pulse/pulseaudio.h>
#include <pulse/rtclock.h>

#include <atomic>
#include <string>

#include "platform/ClientLibrary.h"

namespace tw {

// clang-format off
#define TW_PULSE_FUNCTIONS(X) \
  X(pa_channel_map_init_extend) \
  X(pa_context_connect) \
  X(pa_context_disconnect) \
  X(pa_context_errno) \
  X(pa_context_get_server) \
  X(pa_context_get_sink_input_info) \
  X(pa_context_get_state) \
  X(pa_context_new_with_proplist) \
  X(pa_context_rttime_new) \
  X(pa_context_rttime_restart) \
  X(pa_context_set_sink_input_volume) \
  X(pa_context_set_state_callback) \
  X(pa_context_unref) \
  X(pa_mainloop_free) \
  X(pa_mainloop_get_api) \
  X(pa_mainloop_iterate) \
  X(pa_mainloop_new) \
  X(pa_mainloop_set_poll_func) \
  X(pa_mainloop_wakeup) \
  X(pa_operation_cancel) \
  X(pa_operation_unref) \
  X(pa_proplist_free) \
  X(pa_proplist_new) \
  X(pa_proplist_sets) \
  X(pa_rtclock_now) \
  X(pa_stream_connect_playback) \
  X(pa_stream_cork) \
  X(pa_stream_disconnect) \
  X(pa_stream_drain) \
  X(pa_stream_flush) \
  X(pa_stream_get_buffer_attr) \
  X(pa_stream_get_device_name) \
  X(pa_stream_get_index) \
  X(pa_stream_get_latency) \
  X(pa_stream_get_state) \
  X(pa_stream_get_timing_info) \
  X(pa_stream_new) \
  X(pa_stream_set_state_callback) \
  X(pa_stream_set_write_callback) \
  X(pa_stream_unref) \
  X(pa_stream_update_timing_info) \
  X(pa_stream_write) \
  X(pa_strerror) \
  X(pa_sw_volume_from_linear) \
  X(pa_sw_volume_to_linear)
// clang-format on

TW_CLIENT_LIBRARY_TABLE(PulseApi, TW_PULSE_FUNCTIONS);

// The library's table, loaded on the first call (from any thread); null
// when it cannot be loaded, `error` then names the library and its Debian
// package (libpulse.so.0, libpulse0) and the loader's reason.
inline const PulseApi* LoadPulseApi(std::string& error) {
  return LoadClientApi<PulseApi>({"libpulse.so.0", "libpulse0"}, error);
}

// The table the output's parts call through. The backend sets it
// (SetPulseApi, with a loaded table) before it creates the first object of
// the library, so every later use, on any thread, finds it; Pa() before
// that is an error.
inline std::atomic<const PulseApi*> gPulseApi{nullptr};
inline void SetPulseApi(const PulseApi* api) { gPulseApi.store(api, std::memory_order_release); }
inline const PulseApi& Pa() { return *gPulseApi.load(std::memory_order_acquire); }

}  // namespace tw
