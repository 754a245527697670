#include "audio/pipewire_library.h"

#include <dlfcn.h>

#include <type_traits>

namespace velune {
namespace {

PipeWireLibrary* load() {
    void* handle = dlopen("libpipewire-0.3.so.0", RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) return nullptr;
    static PipeWireLibrary library;
    bool whole = true;
    const auto resolve = [&](auto& function, const char* name) {
        function = reinterpret_cast<std::remove_reference_t<decltype(function)>>(dlsym(handle, name));
        whole = whole && function != nullptr;
    };
    resolve(library.init, "pw_init");
    resolve(library.properties_new, "pw_properties_new");
    resolve(library.thread_loop_new, "pw_thread_loop_new");
    resolve(library.thread_loop_get_loop, "pw_thread_loop_get_loop");
    resolve(library.thread_loop_lock, "pw_thread_loop_lock");
    resolve(library.thread_loop_unlock, "pw_thread_loop_unlock");
    resolve(library.thread_loop_start, "pw_thread_loop_start");
    resolve(library.thread_loop_stop, "pw_thread_loop_stop");
    resolve(library.thread_loop_destroy, "pw_thread_loop_destroy");
    resolve(library.thread_loop_timed_wait, "pw_thread_loop_timed_wait");
    resolve(library.thread_loop_signal, "pw_thread_loop_signal");
    resolve(library.stream_new_simple, "pw_stream_new_simple");
    resolve(library.stream_connect, "pw_stream_connect");
    resolve(library.stream_destroy, "pw_stream_destroy");
    resolve(library.stream_dequeue_buffer, "pw_stream_dequeue_buffer");
    resolve(library.stream_queue_buffer, "pw_stream_queue_buffer");
    resolve(library.stream_get_time_n, "pw_stream_get_time_n");
    resolve(library.stream_update_properties, "pw_stream_update_properties");
    if (!whole) return nullptr;  // kept loaded: what was resolved must not dangle
    library.init(nullptr, nullptr);
    return &library;
}

}  // namespace

const PipeWireLibrary* pipeWireLibrary() {
    static const PipeWireLibrary* const library = load();
    return library;
}

}  // namespace velune
