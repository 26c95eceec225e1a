// SPDX-License-Identifier: MIT
#include <tarn/utils/log/logger.hpp>

#include <exception>
#include <iostream>
#include <mutex>
#include <ostream>
#include <stdexcept>
#include <utility>

#include <spdlog/pattern_formatter.h>
#include <spdlog/sinks/basic_file_sink.h>

#include <tarn/utils/log/split_console_sink.hpp>

#include "fan_out_sink.hpp"

namespace tarn::utils::log {
inline namespace v4 {
namespace {

using FileSink = spdlog::sinks::basic_file_sink<std::mutex>;

// %^...%$ spans the whole line, so a colour console paints all of it; the
// file ignores the range. The formatter appends no line break: callers that
// want one record per line end the message with "\n".
constexpr const char* kLinePattern = "%^(%Y-%m-%d %T.%e) [%l] [%s:%#] %v%$";

// Writes "Error creating log file: <reason>" to std::cerr as one write,
// where a client that redirected the stream's buffer finds it. The stream is
// the application's: whatever its state and exception mask, the write never
// throws, and both are exactly as they were afterwards, so a failed write
// (a full device) does not silence the application's later output. A stream
// the application muted (not good()) stays silent.
void reportOpenFailure(const char* reason) {
    const std::string line = std::string("Error creating log file: ") + reason + '\n';
    std::ostream& err = std::cerr;
    const std::ios::iostate exceptions = err.exceptions();
    const std::ios::iostate state = err.rdstate();
    err.exceptions(std::ios::goodbit);  // cannot throw: the mask is now empty
    try {
        err.write(line.data(), static_cast<std::streamsize>(line.size())).flush();
    } catch (const std::exception&) {
        // Flushing the tied std::cout may throw with std::cout's own mask.
    }
    err.clear(state);
    try {
        err.exceptions(exceptions);
    } catch (const std::ios::failure&) {
        // Only when the caller left an error bit its mask names: the state
        // and the mask are both restored before this is thrown.
    }
}

}  // namespace

// Released in reverse order of declaration: the backend goes first, the
// console last. Sinks that a client still reaches through RawLoggerPtr()
// outlive the record.
struct LoggerData {
    std::shared_ptr<SplitConsoleSink> console = std::make_shared<SplitConsoleSink>();
    // The open log file; empty while file output is off, so that no
    // descriptor outlives its use.
    std::shared_ptr<FileSink> logFile;
    // The name last opened, kept while file output is off for
    // LogDestination().
    std::string logFileName;
    std::shared_ptr<detail::FanOutSink> fanOut = std::make_shared<detail::FanOutSink>();
    // Never attached itself: every sink gets a clone, and a file opened later
    // gets the fixed format even if a client has changed the backend's.
    std::unique_ptr<spdlog::pattern_formatter> lineFormatter =
        std::make_unique<spdlog::pattern_formatter>(kLinePattern, spdlog::pattern_time_type::local,
                                                     std::string());
    std::shared_ptr<spdlog::logger> backend;

    // Stops file output and closes the file. Records stop reaching it at
    // once; those already in it, trace records that no flush followed
    // included, are written out before this returns, so neither a crash
    // nor a file rotated away loses them.
    void closeLogFile() {
        if (!logFile) return;
        // Records test a sink's level under the fan-out's mutex before
        // writing to it. From here on none picks the file, and the flush
        // below takes that mutex, so it comes after the last record that
        // did. Flush errors go to the backend's error handler, as those of
        // every other flush do.
        logFile->set_level(spdlog::level::off);
        backend->flush();
        fanOut->remove_sink(logFile);
        logFile.reset();
    }
};

Logger::Logger(const std::string& name) : data_(makeOwnedImpl<LoggerData>()) {
    LoggerData& d = *data_;
    d.backend = std::make_shared<spdlog::logger>(name, d.fanOut);
    d.fanOut->add_sink(d.console);
    // Filtering is the sinks' business: the backend and the fan-out pass
    // everything, the console keeps err and critical.
    d.backend->set_level(spdlog::level::trace);
    d.console->set_level(spdlog::level::err);
    d.backend->flush_on(spdlog::level::debug);
    d.backend->set_formatter(d.lineFormatter->clone());
}

Logger::~Logger() = default;

spdlog::logger& Logger::RawLogger() const {
    return *data_->backend;
}

std::shared_ptr<spdlog::logger> Logger::RawLoggerPtr() const {
    return data_->backend;
}

void Logger::SetConsoleSinkLevel(spdlog::level::level_enum level) {
    if (data_->console) data_->console->set_level(level);
}

std::string Logger::LogDestination() const {
    return data_->logFileName;
}

void Logger::SetLogDestination(const std::string& filename) {
    LoggerData& d = *data_;
    if (filename.empty()) {
        d.closeLogFile();
        return;
    }
    // Trace records are not followed by a flush. Push them into the current
    // file now: if the new name is the same file, truncating it below must
    // not leave them to be appended by the closing sink afterwards. Flush
    // errors go to spdlog's error handler, like those of any other flush.
    if (d.logFile) d.backend->flush();
    try {
        // The file system sees the name as a C string: "run.log\0x" would
        // open and truncate run.log, a file nobody named.
        if (filename.find('\0') != std::string::npos)
            throw std::invalid_argument("the file name holds a NUL byte");
        // Everything that can fail happens before the swap, so the current
        // file keeps receiving records until the new one is ready.
        auto opened = std::make_shared<FileSink>(filename, true);
        opened->set_formatter(d.lineFormatter->clone());
        opened->set_level(spdlog::level::trace);
        std::string name = filename;
        d.fanOut->replace_sink(d.logFile, opened);
        d.logFile = std::move(opened);  // closes the previous file
        d.logFileName = std::move(name);
    } catch (const std::exception& error) {
        // The previous file stops receiving records and keeps its name for
        // LogDestination(); records go on reaching the console.
        d.closeLogFile();
        reportOpenFailure(error.what());
    }
}

}  // namespace v4
}  // namespace tarn::utils::log
