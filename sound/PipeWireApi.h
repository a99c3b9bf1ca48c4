#pragma once
// The functions of PipeWire's client library (libpipewire-0.3) the PipeWire
// output calls, loaded at run time when that output is chosen
// (platform/ClientLibrary.h). The library's inline helpers (the pod builder,
// the core's and the loop's methods) need no symbol and are used directly.

#include <pipewire/pipewire.h>

#include <string>

#include "platform/ClientLibrary.h"

namespace tw {

// clang-format off
#define TW_PIPEWIRE_FUNCTIONS(X) \
  X(pw_init) \
  X(pw_thread_loop_new) \
  X(pw_thread_loop_destroy) \
  X(pw_thread_loop_get_loop) \
  X(pw_thread_loop_start) \
  X(pw_thread_loop_stop) \
  X(pw_thread_loop_lock) \
  X(pw_thread_loop_unlock) \
  X(pw_thread_loop_signal) \
  X(pw_thread_loop_get_time) \
  X(pw_thread_loop_timed_wait_full) \
  X(pw_context_new) \
  X(pw_context_destroy) \
  X(pw_context_connect) \
  X(pw_core_disconnect) \
  X(pw_properties_new) \
  X(pw_properties_set) \
  X(pw_proxy_destroy) \
  X(pw_stream_new) \
  X(pw_stream_destroy) \
  X(pw_stream_add_listener) \
  X(pw_stream_connect) \
  X(pw_stream_get_state) \
  X(pw_stream_dequeue_buffer) \
  X(pw_stream_queue_buffer) \
  X(pw_stream_get_time_n) \
  X(pw_stream_set_active) \
  X(pw_stream_set_control)
// clang-format on

TW_CLIENT_LIBRARY_TABLE(PipeWireApi, TW_PIPEWIRE_FUNCTIONS);

// The library's table, loaded on the first call (from any thread); null when
// it cannot be loaded, `error` then names the library and its Debian package.
inline const PipeWireApi* LoadPipeWireApi(std::string& error) {
  return LoadClientApi<PipeWireApi>({"libpipewire-0.3.so.0", "libpipewire-0.3-0"}, error);
}

}  // namespace tw
