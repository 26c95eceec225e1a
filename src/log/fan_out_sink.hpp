// SPDX-License-Identifier: MIT
#pragma once

#include <algorithm>
#include <memory>
#include <mutex>

#include <spdlog/sinks/dist_sink.h>

namespace tarn::utils::log {
inline namespace v4 {
namespace detail {

// The distributing sink behind every Logger, with one addition: exchanging
// one attached sink for another in a single step. A record is delivered to
// the whole list under the same mutex, so it meets either the old sink or
// the new one, never neither and never both, which separate remove_sink()
// and add_sink() calls cannot promise.
class FanOutSink final : public spdlog::sinks::dist_sink<std::mutex> {
public:
    // Puts `replacement` where `old` was attached and drops every other entry
    // of `old`; appends it when `old` is empty or not attached. Throws only
    // when locking or appending fails, leaving the list as it was.
    void replace_sink(const std::shared_ptr<spdlog::sinks::sink>& old,
                      std::shared_ptr<spdlog::sinks::sink> replacement) {
        std::lock_guard<std::mutex> lock(mutex_);
        const auto found = old ? std::find(sinks_.begin(), sinks_.end(), old) : sinks_.end();
        if (found == sinks_.end()) {
            sinks_.push_back(std::move(replacement));
            return;
        }
        *found = std::move(replacement);
        sinks_.erase(std::remove(std::next(found), sinks_.end(), old), sinks_.end());
    }
};

}  // namespace detail
}  // namespace v4
}  // namespace tarn::utils::log
