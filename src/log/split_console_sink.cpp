// SPDX-License-Identifier: MIT
#include <tarn/utils/log/split_console_sink.hpp>

#include <spdlog/sinks/ansicolor_sink.h>

namespace tarn::utils::log {
inline namespace v4 {

// The two streams live by value in the record; they are destroyed in reverse
// order, standard error first.
struct SplitConsoleSinkData {
    spdlog::sinks::ansicolor_stdout_sink<spdlog::details::console_mutex> outSink{
        spdlog::color_mode::automatic};
    spdlog::sinks::ansicolor_stderr_sink<spdlog::details::console_mutex> errSink{
        spdlog::color_mode::automatic};
};

SplitConsoleSink::SplitConsoleSink() : data_(makeOwnedImpl<SplitConsoleSinkData>()) {}

SplitConsoleSink::~SplitConsoleSink() = default;

void SplitConsoleSink::log(const spdlog::details::log_msg& msg) {
    switch (msg.level) {
    case spdlog::level::warn:
    case spdlog::level::err:
    case spdlog::level::critical:
        data_->errSink.log(msg);
        break;
    default:
        data_->outSink.log(msg);
        break;
    }
}

void SplitConsoleSink::flush() {
    data_->outSink.flush();
    data_->errSink.flush();
}

void SplitConsoleSink::set_pattern(const std::string& pattern) {
    data_->outSink.set_pattern(pattern);
    data_->errSink.set_pattern(pattern);
}

void SplitConsoleSink::set_formatter(std::unique_ptr<spdlog::formatter> formatter) {
    data_->outSink.set_formatter(formatter->clone());
    data_->errSink.set_formatter(std::move(formatter));
}

void SplitConsoleSink::set_color_mode(spdlog::color_mode mode) {
    data_->outSink.set_color_mode(mode);
    data_->errSink.set_color_mode(mode);
}

}  // namespace v4
}  // namespace tarn::utils::log
