// SPDX-License-Identifier: MIT
#include <tarn/utils/log/logger.hpp>

#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <exception>
#include <iostream>
#include <mutex>
#include <ostream>
#include <stdexcept>
#include <system_error>
#include <utility>
#include <vector>

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

// The reason as one readable line: spdlog's message names the file, and a
// name may hold any byte but NUL. Control characters become C escapes;
// other bytes, UTF-8 included, stay as they are.
std::string oneLine(const char* reason) {
    static const char hex[] = "0123456789abcdef";
    std::string line;
    for (const char* at = reason; *at != '\0'; ++at) {
        const auto byte = static_cast<unsigned char>(*at);
        switch (byte) {
        case '\n': line += "\\n"; break;
        case '\r': line += "\\r"; break;
        case '\t': line += "\\t"; break;
        case '\\': line += "\\\\"; break;
        default:
            if (byte < 0x20 || byte == 0x7f) {
                line += "\\x";
                line += hex[byte >> 4];
                line += hex[byte & 0xf];
            } else {
                line += *at;
            }
        }
    }
    return line;
}

// Writes "Error creating log file: <reason>" to std::cerr as one write,
// where a client that redirected the stream's buffer finds it. The stream is
// the application's: whatever its state and exception mask, the write never
// throws, and both are exactly as they were afterwards, so a failed write
// (a full device) does not silence the application's later output. A stream
// the application muted (not good()) stays silent.
void reportOpenFailure(const char* reason) {
    const std::string line = "Error creating log file: " + oneLine(reason) + '\n';
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

// The parent directories of `filename` that do not exist, deepest first:
// those spdlog will create before it opens the file. Cut where spdlog cuts
// (at the last '/'), so the two agree on what the parent is.
std::vector<std::string> missingParents(const std::string& filename) {
    std::vector<std::string> missing;
    std::string path = filename;
    for (;;) {
        const auto slash = path.find_last_of('/');
        if (slash == std::string::npos || slash == 0) break;
        path.erase(slash);
        struct stat info {};
        if (::lstat(path.c_str(), &info) == 0 || errno != ENOENT) break;
        missing.push_back(path);
    }
    return missing;
}

// Opens `filename` for appending, close-on-exec, without truncating it: the
// Logger empties it only when no record can be in flight towards a sink on
// the same file (see attachLogFile). `descriptor` receives the file's
// descriptor.
std::shared_ptr<FileSink> openAppending(const std::string& filename, const std::shared_ptr<int>& descriptor) {
    spdlog::file_event_handlers handlers;
    // Debian's libspdlog opens without O_CLOEXEC. The flag is set right
    // after the open, so only a child started by another thread in between
    // can inherit the descriptor.
    handlers.after_open = [descriptor](const spdlog::filename_t&, std::FILE* file) {
        const int fd = ::fileno(file);
        const int flags = ::fcntl(fd, F_GETFD);
        if (flags < 0 || ::fcntl(fd, F_SETFD, flags | FD_CLOEXEC) != 0)
            throw std::system_error(errno, std::generic_category(), "cannot make the log file close-on-exec");
        *descriptor = fd;
    };
    return std::make_shared<FileSink>(filename, false, handlers);
}

// Every live Logger, for the fork handlers. Never destroyed, so a fork
// during static destruction still finds it.
struct ForkRegistry {
    std::mutex mutex;
    std::vector<LoggerData*> loggers;

    static ForkRegistry& instance() {
        static ForkRegistry* const registry = new ForkRegistry;
        return *registry;
    }
};

}  // namespace

// Released in reverse order of declaration: the backend goes first, the
// console last. Sinks that a client still reaches through RawLoggerPtr()
// outlive the record.
struct LoggerData {
    std::shared_ptr<SplitConsoleSink> console = std::make_shared<SplitConsoleSink>();
    // Serialises the Logger's own members (not the records): it guards the
    // three members below and every change of a threshold. Taken before the
    // fan-out's mutex, never while holding it.
    std::mutex configuration;
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

    // The fan-out's own threshold is the lowest of its attached sinks', so
    // that spdlog's logger skips a record none of them admits before it
    // takes any lock of ours. It is lowered before a sink admits more, and
    // raised only after one admits less: at no moment does it hold back a
    // record an attached sink would take. Callers hold `configuration`.
    spdlog::level::level_enum lowestAttached() const {
        const spdlog::level::level_enum shown = console->level();
        return logFile ? std::min(shown, logFile->level()) : shown;
    }
    void admit(spdlog::level::level_enum level) {
        if (level < fanOut->level()) fanOut->set_level(level);
    }
    void narrowToAttached() { fanOut->set_level(lowestAttached()); }

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
        narrowToAttached();
        backend->flush();
        fanOut->remove_sink(logFile);
        logFile.reset();
    }

    // A log file opened for appending and not yet attached.
    struct OpenedFile {
        std::shared_ptr<FileSink> sink;
        int descriptor = -1;
    };

    // Opens `filename` for appending in the fixed format, ready to attach.
    // Runs without `configuration`: opening may wait (for the reader of a
    // FIFO, for spdlog's retries), and other members, the fork handlers
    // included, need not wait with it. When it fails, the parent
    // directories spdlog created on the way are removed again, deepest
    // first, as long as nothing has been put into them meanwhile (rmdir
    // removes only an empty directory), and the exception propagates.
    OpenedFile openLogFile(const std::string& filename) const {
        const std::vector<std::string> created = missingParents(filename);
        try {
            // The file system sees the name as a C string: "run.log\0x"
            // would open and truncate run.log, a file nobody named.
            if (filename.find('\0') != std::string::npos)
                throw std::invalid_argument("the file name holds a NUL byte");
            auto descriptor = std::make_shared<int>(-1);
            OpenedFile opened{openAppending(filename, descriptor)};
            opened.descriptor = *descriptor;
            opened.sink->set_formatter(lineFormatter->clone());
            opened.sink->set_level(spdlog::level::trace);
            return opened;
        } catch (const std::exception&) {
            for (const std::string& directory : created)
                if (::rmdir(directory.c_str()) != 0) break;
            throw;
        }
    }

    enum class Contents { Emptied, Kept };

    // Puts `opened` in place of the current file, emptying it first or
    // keeping what it holds. The name may be the current file's, or a link
    // to it: the current sink's buffer must then reach the file before it
    // is emptied or appended to, and nothing of it after. So, under the
    // fan-out's mutex, with no record in flight: write out the current
    // file, empty the new one when asked, swap. Throws when the new file
    // cannot be emptied; nothing has changed then.
    void attachLogFile(OpenedFile opened, const std::string& name, Contents contents) {
        const int descriptor = opened.descriptor;
        admit(spdlog::level::trace);
        // Errors of this flush go to the backend's error handler; what a
        // record adds meanwhile is written out under the mutex below.
        if (logFile) backend->flush();
        std::string kept = name;
        const std::shared_ptr<FileSink> previous = logFile;
        fanOut->replace_sink(previous, opened.sink, [&] {
            if (previous) {
                try {
                    previous->flush();
                } catch (const std::exception&) {
                    // Reported by the flush above when the device fails;
                    // the file is emptied all the same.
                }
            }
            // A FIFO or a terminal has nothing to empty (EINVAL).
            if (contents == Contents::Emptied && ::ftruncate(descriptor, 0) != 0 && errno != EINVAL)
                throw std::system_error(errno, std::generic_category(), "cannot empty the log file " + name);
        });
        logFile = std::move(opened.sink);
        logFileName = std::move(kept);
        narrowToAttached();
        // `previous` closes here, with nothing left in its buffer.
    }

    // The fork handlers: before fork() every Logger's members and records
    // wait (configuration, then the fan-out, as everywhere else), afterwards
    // both go on, in the parent and in the child.
    static void prepareFork() {
        ForkRegistry& registry = ForkRegistry::instance();
        registry.mutex.lock();
        for (LoggerData* data : registry.loggers) {
            data->configuration.lock();
            data->fanOut->holdForFork();
        }
    }
    static void releaseAfterFork() {
        ForkRegistry& registry = ForkRegistry::instance();
        for (auto at = registry.loggers.rbegin(); at != registry.loggers.rend(); ++at) {
            (*at)->fanOut->releaseAfterFork();
            (*at)->configuration.unlock();
        }
        registry.mutex.unlock();
    }

    void registerForFork() {
        static std::once_flag handlers;
        std::call_once(handlers, [] {
            const int error = ::pthread_atfork(prepareFork, releaseAfterFork, releaseAfterFork);
            if (error != 0) throw std::system_error(error, std::generic_category(), "pthread_atfork");
        });
        ForkRegistry& registry = ForkRegistry::instance();
        std::lock_guard<std::mutex> lock(registry.mutex);
        registry.loggers.push_back(this);
    }
    void unregisterForFork() noexcept {
        ForkRegistry& registry = ForkRegistry::instance();
        std::lock_guard<std::mutex> lock(registry.mutex);
        registry.loggers.erase(std::remove(registry.loggers.begin(), registry.loggers.end(), this),
                               registry.loggers.end());
    }
};

Logger::Logger(const std::string& name) : data_(makeOwnedImpl<LoggerData>()) {
    LoggerData& d = *data_;
    d.backend = std::make_shared<spdlog::logger>(name, d.fanOut);
    d.fanOut->add_sink(d.console);
    // Filtering is the sinks' business: the backend passes everything, the
    // fan-out what at least one attached sink admits, the console keeps err
    // and critical.
    d.backend->set_level(spdlog::level::trace);
    d.console->set_level(spdlog::level::err);
    d.narrowToAttached();
    d.backend->flush_on(spdlog::level::debug);
    d.backend->set_formatter(d.lineFormatter->clone());
    d.registerForFork();  // last: nothing after it can throw
}

Logger::~Logger() {
    data_->unregisterForFork();
}

spdlog::logger& Logger::RawLogger() const {
    return *data_->backend;
}

std::shared_ptr<spdlog::logger> Logger::RawLoggerPtr() const {
    return data_->backend;
}

void Logger::SetConsoleSinkLevel(spdlog::level::level_enum level) {
    LoggerData& d = *data_;
    std::lock_guard<std::mutex> lock(d.configuration);
    d.admit(level);
    d.console->set_level(level);
    d.narrowToAttached();
}

std::string Logger::LogDestination() const {
    std::lock_guard<std::mutex> lock(data_->configuration);
    return data_->logFileName;
}

void Logger::SetLogDestination(const std::string& filename) {
    LoggerData& d = *data_;
    if (filename.empty()) {
        std::lock_guard<std::mutex> lock(d.configuration);
        d.closeLogFile();
        return;
    }
    // The file is opened before the configuration is locked (see
    // openLogFile); the call takes effect where it takes the lock.
    try {
        LoggerData::OpenedFile opened = d.openLogFile(filename);
        std::lock_guard<std::mutex> lock(d.configuration);
        d.attachLogFile(std::move(opened), filename, LoggerData::Contents::Emptied);
    } catch (const std::exception& error) {
        {
            // The previous file stops receiving records and keeps its name
            // for LogDestination(); records go on reaching the console.
            std::lock_guard<std::mutex> lock(d.configuration);
            d.closeLogFile();
            d.narrowToAttached();  // also when the failure came with no file attached
        }
        reportOpenFailure(error.what());
    }
}

void Logger::ReopenLogDestination() {
    LoggerData& d = *data_;
    std::shared_ptr<FileSink> current;
    std::string name;
    {
        std::lock_guard<std::mutex> lock(d.configuration);
        if (!d.logFile) return;
        current = d.logFile;
        name = d.logFileName;
    }
    try {
        LoggerData::OpenedFile opened = d.openLogFile(name);
        std::lock_guard<std::mutex> lock(d.configuration);
        // Another call switched or closed the file while this one opened:
        // that call comes after this one, and its outcome stands.
        if (d.logFile != current) return;
        d.attachLogFile(std::move(opened), name, LoggerData::Contents::Kept);
    } catch (const std::exception& error) {
        // A failed rotation must not stop logging: the current file keeps
        // receiving records.
        reportOpenFailure(error.what());
    }
}

}  // namespace v4
}  // namespace tarn::utils::log
