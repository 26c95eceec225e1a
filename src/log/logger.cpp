#include <tarn/utils/log/logger.hpp>

#include <exception>
#include <iostream>
#include <mutex>
#include <stdexcept>
#include <utility>

#include <spdlog/pattern_formatter.h>
#include <spdlog/sinks/basic_file_sink.h>

#include <tarn/utils/log/split_console_sink.hpp>

#include "console_mutex.hpp"
#include "fan_out_sink.hpp"

namespace tarn::utils::log {
inline namespace v4 {
namespace {

using FileSink = spdlog::sinks::basic_file_sink<std::mutex>;

// %^...%$ spans the whole line, so a colour console paints all of it; the
// file ignores the range. The formatter appends no line break: callers that
// want one record per line end the message with "\n".
constexpr const char* kLinePattern = "%^(%Y-%m-%d %T.%e) [%l] [%s:%#] %v%$";

}  // namespace

// Released in reverse order of declaration: the backend goes first, the
// console last. Sinks that a client still reaches through RawLoggerPtr()
// outlive the record.
struct LoggerData {
    std::shared_ptr<SplitConsoleSink> console = std::make_shared<SplitConsoleSink>();
    // The file most recently opened; kept while file output is off, so that
    // LogDestination() can still name it.
    std::shared_ptr<FileSink> logFile;
    std::shared_ptr<detail::FanOutSink> fanOut = std::make_shared<detail::FanOutSink>();
    // Never attached itself: every sink gets a clone, and a file opened later
    // gets the fixed format even if a client has changed the backend's.
    std::unique_ptr<spdlog::pattern_formatter> lineFormatter =
        std::make_unique<spdlog::pattern_formatter>(kLinePattern, spdlog::pattern_time_type::local,
                                                     std::string());
    std::shared_ptr<spdlog::logger> backend;
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
    const LoggerData& d = *data_;
    return d.logFile ? d.logFile->filename() : std::string();
}

void Logger::SetLogDestination(const std::string& filename) {
    LoggerData& d = *data_;
    // Trace records are not followed by a flush. Push them into the current
    // file now: if the new name is the same file, truncating it below must
    // not leave them to be appended by the closing sink afterwards. Flush
    // errors go to spdlog's error handler, like those of any other flush.
    if (d.logFile) d.backend->flush();

    if (!filename.empty()) {
        try {
            // The file system sees the name as a C string: "run.log\0x"
            // would open and truncate run.log, a file nobody named.
            if (filename.find('\0') != std::string::npos)
                throw std::invalid_argument("the file name holds a NUL byte");
            // Everything that can fail happens before the swap, so the
            // current file keeps receiving records until the new one is ready.
            auto opened = std::make_shared<FileSink>(filename, true);
            opened->set_formatter(d.lineFormatter->clone());
            opened->set_level(spdlog::level::trace);
            d.fanOut->replace_sink(d.logFile, opened);
            d.logFile = std::move(opened);  // closes the previous file
            return;
        } catch (const std::exception& error) {
            // The whole line in one write: std::cerr hands it to stdio in a
            // single call, which holds the stream's lock, so records other
            // threads send to standard error meanwhile cannot cut it apart.
            // The console mutex keeps it out of a coloured record, which a
            // console sink writes in several pieces while holding it.
            const std::string line = std::string("Error creating log file: ") + error.what() + '\n';
            std::lock_guard<std::mutex> console(detail::consoleMutex());
            std::cerr << line << std::flush;
        }
    }
    // Turned off, or the new file failed: the previous file, if any, stops
    // receiving records but keeps its name for LogDestination().
    if (d.logFile) d.fanOut->remove_sink(d.logFile);
}

}  // namespace v4
}  // namespace tarn::utils::log
