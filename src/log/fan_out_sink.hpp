// SPDX-License-Identifier: MIT
#pragma once

#include <algorithm>
#include <memory>
#include <mutex>

#include <spdlog/sinks/dist_sink.h>

namespace tarn::utils::log {
inline namespace v4 {
namespace detail {

// The distributing sink behind every Logger, with two additions: exchanging
// one attached sink for another in a single step, and holding every record
// back across fork(). A record is delivered to the whole list under the
// same mutex, so it meets either the old sink or the new one, never neither
// and never both, which separate remove_sink() and add_sink() calls cannot
// promise.
class FanOutSink final : public spdlog::sinks::dist_sink<std::mutex> {
public:
    // Under the mutex, with no record in flight: runs `prepare()`, then puts
    // `replacement` where `old` was attached and drops every other entry of
    // `old`; appends it when `old` is empty or not attached. When
    // `prepare()` throws, or locking or appending does, the list stays as
    // it was and the exception propagates.
    template <typename Prepare>
    void replace_sink(const std::shared_ptr<spdlog::sinks::sink>& old,
                      std::shared_ptr<spdlog::sinks::sink> replacement, Prepare&& prepare) {
        std::lock_guard<std::mutex> lock(mutex_);
        prepare();
        const auto found = old ? std::find(sinks_.begin(), sinks_.end(), old) : sinks_.end();
        if (found == sinks_.end()) {
            sinks_.push_back(std::move(replacement));
            return;
        }
        *found = std::move(replacement);
        sinks_.erase(std::remove(std::next(found), sinks_.end(), old), sinks_.end());
    }

    // Before fork(): waits for the record in flight, keeps every other one
    // out until releaseAfterFork(), and writes out what the sinks buffer, so
    // that the child inherits neither a lock held by a thread it does not
    // have nor a copy of bytes the parent writes as well. Flush errors are
    // dropped: fork() has no way to report them, and the parent's next flush
    // meets the same error.
    void holdForFork() {
        mutex_.lock();
        for (auto& attached : sinks_) {
            try {
                attached->flush();
            } catch (...) {
            }
        }
    }

    // After fork(), in the parent and in the child alike.
    void releaseAfterFork() { mutex_.unlock(); }
};

}  // namespace detail
}  // namespace v4
}  // namespace tarn::utils::log
