// SPDX-License-Identifier: MIT
#pragma once

#include <memory>
#include <string>

#include <spdlog/common.h>
#include <spdlog/logger.h>
// For the SPDLOG_LOGGER_* macros, the only way to give a record the caller's
// file and line.
#include <spdlog/spdlog.h>

#include <tarn/utils/export.hpp>
#include <tarn/utils/owned_impl.hpp>

namespace tarn::utils::log {
inline namespace v4 {

struct LoggerData;

// Assembles a ready spdlog logger and reconfigures it. Records are logged
// through RawLogger() or RawLoggerPtr(), preferably with spdlog's
// SPDLOG_LOGGER_* macros, which supply the caller's file and line.
//
// Every record is written as
//     (YYYY-MM-DD HH:MM:SS.mmm) [level] [file:line] message
// in local time, with no line break appended: put "\n" into the message.
// The console shows err and critical records by default, on standard error;
// a log file, when set, receives every level. The backend flushes after every
// record of level debug or above.
//
// Thread-safety: any number of threads may log through the backend at once,
// and every member may be called from any thread at any time, also while
// others log: concurrent calls act one after the other, in some order. A
// record that no attached sink admits (below the console's threshold, with
// no file) is dropped before any lock of the Logger's; the flush that
// follows a record of level debug or above still takes one.
//
// fork(): while the Logger lives, a child forked at any moment, other
// threads logging or reconfiguring included, may log and reconfigure at
// once, and records logged before the fork are never written twice (by the
// parent and by the child's copy of the file's buffer). Records through a
// RawLoggerPtr() handle are covered while the Logger lives; the client's own
// spdlog loggers and sinks are not.
//
// Errors: the only failure reported in place is a log file that cannot be
// opened (see SetLogDestination). Anything else, allocation included, throws
// an exception derived from std::exception.
class TARN_UTILS_LOG_API Logger {
public:
    // Builds the backend logger `name` (not registered with spdlog's global
    // registry), its console output and no log file. If this throws, whatever
    // was already built is released.
    explicit Logger(const std::string& name);

    // Releases the Logger's share of the backend. A handle taken with
    // RawLoggerPtr() keeps the backend, its console and its file working.
    ~Logger();

    // Not copyable, not movable: RawLogger() references stay tied to the
    // one object that owns the backend.
    Logger(const Logger&) = delete;
    Logger& operator=(const Logger&) = delete;
    Logger(Logger&&) = delete;
    Logger& operator=(Logger&&) = delete;

    // The backend logger, without sharing ownership; valid while this Logger
    // lives.
    spdlog::logger& RawLogger() const;

    // A new shared handle to the backend logger.
    std::shared_ptr<spdlog::logger> RawLoggerPtr() const;

    // Sets the console's threshold (err by default); the file's and the
    // backend's stay as they are. warn brings warn records to standard
    // error; trace brings trace, debug and info to standard output as well;
    // off silences the console. Safe to call while other threads log.
    void SetConsoleSinkLevel(spdlog::level::level_enum level);

    // The name last given to a successful SetLogDestination(), exactly as
    // given, even after file output was turned off (the file itself is then
    // closed); empty before the first successful call.
    std::string LogDestination() const;

    // With a non-empty name, opens that file afresh, truncated, close-on-exec
    // (missing parent directories are created), and sends every record to it
    // instead of the previous file. The same name again, or a link to the
    // open file, empties it too, after the previous sink's last bytes: every
    // record in the file is whole. Records logged by other threads meanwhile
    // land whole in either the previous file or the new one, never in
    // neither or both. With an empty name, turns file output off. Whenever a
    // file stops receiving records, every byte written to it is in the file
    // and the file is closed by the time this returns. Opening a FIFO waits
    // for a reader; other members do not wait with it.
    //
    // A file that cannot be opened, and a name holding a NUL byte (which
    // would reach the file system cut short), is not an exception: the line
    // "Error creating log file: <reason>" goes to std::cerr in one write,
    // control characters of the reason escaped so that it stays one line,
    // file output is off afterwards (the previous file is closed) and
    // LogDestination() still names the previous file. Parent directories
    // the call created are removed again while they are empty. Records keep going to
    // the console. Writing the line never throws and leaves std::cerr's
    // state and exception mask as they were; a std::cerr that is not good()
    // stays silent.
    void SetLogDestination(const std::string& filename);

    // Reopens the log file by the name LogDestination() returns, for
    // appending: a file of that name keeps what it holds, and one that log
    // rotation has renamed away receives nothing more. Call it when told
    // that the file was rotated (SIGHUP, from a thread that waits for the
    // signal: never from a signal handler, as this takes locks and
    // allocates). Records logged meanwhile land whole in the old file or
    // the reopened one, never in neither or both; every byte written to the
    // old file is in it and the file is closed by the time this returns.
    // Does nothing while file output is off.
    //
    // A name that cannot be opened is reported as by SetLogDestination()
    // ("Error creating log file: <reason>" on std::cerr), but the current
    // file stays attached and keeps receiving records: a failed rotation
    // does not stop logging.
    void ReopenLogDestination();

private:
    OwnedImpl<LoggerData> data_;
};

}  // namespace v4
}  // namespace tarn::utils::log
