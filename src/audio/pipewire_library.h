#pragma once

// PipeWire's client library, loaded the first time a PipeWire stream is asked for, so that the
// program also runs (through PulseAudio or ALSA) on a system that does not have it.

#include <pipewire/pipewire.h>

namespace velune {

struct PipeWireLibrary {
    decltype(&::pw_init) init = nullptr;
    decltype(&::pw_properties_new) properties_new = nullptr;
    decltype(&::pw_thread_loop_new) thread_loop_new = nullptr;
    decltype(&::pw_thread_loop_get_loop) thread_loop_get_loop = nullptr;
    decltype(&::pw_thread_loop_lock) thread_loop_lock = nullptr;
    decltype(&::pw_thread_loop_unlock) thread_loop_unlock = nullptr;
    decltype(&::pw_thread_loop_start) thread_loop_start = nullptr;
    decltype(&::pw_thread_loop_stop) thread_loop_stop = nullptr;
    decltype(&::pw_thread_loop_destroy) thread_loop_destroy = nullptr;
    decltype(&::pw_thread_loop_timed_wait) thread_loop_timed_wait = nullptr;
    decltype(&::pw_thread_loop_signal) thread_loop_signal = nullptr;
    decltype(&::pw_stream_new_simple) stream_new_simple = nullptr;
    decltype(&::pw_stream_connect) stream_connect = nullptr;
    decltype(&::pw_stream_destroy) stream_destroy = nullptr;
    decltype(&::pw_stream_dequeue_buffer) stream_dequeue_buffer = nullptr;
    decltype(&::pw_stream_queue_buffer) stream_queue_buffer = nullptr;
    decltype(&::pw_stream_get_time_n) stream_get_time_n = nullptr;
    decltype(&::pw_stream_update_properties) stream_update_properties = nullptr;
};

// The library, loaded once and kept; nullptr when the system has none.
const PipeWireLibrary* pipeWireLibrary();

}  // namespace velune
