// SPDX-License-Identifier: MIT
#pragma once

#include <memory>
#include <string>

#include <spdlog/common.h>
#include <spdlog/details/log_msg.h>
#include <spdlog/formatter.h>
#include <spdlog/sinks/sink.h>

#include <tarn/utils/export.hpp>
#include <tarn/utils/owned_impl.hpp>

namespace tarn::utils::log {
inline namespace v4 {

struct SplitConsoleSinkData;

// An spdlog sink for the console that picks the stream by severity: trace,
// debug and info records go to standard output, warn, err and critical
// records to standard error. Each stream is written by one of spdlog's colour
// console sinks, which colours the pattern's %^...%$ range when the colour
// mode allows it (by default only on a colour terminal).
//
// Thread-safety: log() and flush() may be called from any number of threads;
// every write and flush holds spdlog's console mutex, taken by spdlog's own
// colour sinks. With spdlog as a shared library that mutex is one for the
// whole process, shared with the client's own spdlog console sinks; with
// header-only or static spdlog each binary has its own. The setters update
// standard output, then standard error, as two steps: a record written in
// between may use the old setting on one stream.
//
// Errors: nothing is reported here; allocation failure throws std::bad_alloc.
class TARN_UTILS_LOG_API SplitConsoleSink : public spdlog::sinks::sink {
public:
    // Both streams in colour mode automatic, spdlog's default format, and the
    // threshold (set_level) at trace.
    SplitConsoleSink();
    ~SplitConsoleSink() override;

    SplitConsoleSink(const SplitConsoleSink&) = delete;
    SplitConsoleSink& operator=(const SplitConsoleSink&) = delete;

    // Writes the record to standard error when its level is warn, err or
    // critical, otherwise to standard output. The threshold is not consulted
    // here: whoever delivers the record tests should_log() first, as spdlog's
    // loggers and distributing sinks do.
    void log(const spdlog::details::log_msg& msg) override;

    // Flushes standard output, then standard error.
    void flush() override;

    // Both streams format with `pattern`, each through a formatter of its own
    // with spdlog's defaults (local time, the platform's line break).
    void set_pattern(const std::string& pattern) override;

    // Standard output gets a clone of `formatter`, standard error the
    // formatter itself, so both format alike.
    void set_formatter(std::unique_ptr<spdlog::formatter> formatter) override;

    // always, automatic (colour only on a colour terminal) or never.
    void set_color_mode(spdlog::color_mode mode);

private:
    OwnedImpl<SplitConsoleSinkData> data_;
};

}  // namespace v4
}  // namespace tarn::utils::log
