#pragma once

#include <mutex>
#include <type_traits>

#include <spdlog/details/console_globals.h>

namespace tarn::utils::log {
inline namespace v4 {
namespace detail {

static_assert(std::is_same_v<spdlog::details::console_mutex::mutex_t, std::mutex>);

#ifdef SPDLOG_COMPILED_LIB
// libspdlog's spdlog::details::console_mutex::mutex()::s_mutex, by its symbol
// name; see consoleMutex().
extern std::mutex libspdlogConsoleMutex __asm__(
    "_ZZN6spdlog7details13console_mutex5mutexEvE7s_mutex");
#endif

// The mutex spdlog's colour console sinks hold while they write or flush:
// one for the whole process, shared with the client's own console sinks.
//
// spdlog::details::console_mutex::mutex() cannot be called for it here. It is
// an inline function, and compiled into this library, where everything
// outside our namespace is hidden, its static would be a private copy that no
// sink locks. With spdlog as a compiled library the colour sinks are compiled
// into libspdlog too and lock libspdlog's instance, which libspdlog exports
// as a unique symbol: the declaration above binds to that one by name, and
// the link fails (--no-undefined) if it is missing. Against header-only
// spdlog the sinks are compiled here and use this library's copy.
inline std::mutex& consoleMutex() {
#ifdef SPDLOG_COMPILED_LIB
    return libspdlogConsoleMutex;
#else
    return spdlog::details::console_mutex::mutex();
#endif
}

}  // namespace detail
}  // namespace v4
}  // namespace tarn::utils::log
