// SPDX-License-Identifier: MIT
// Trace and debug records keep their source location only when the macros
// are compiled in.
#define SPDLOG_ACTIVE_LEVEL SPDLOG_LEVEL_TRACE

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <future>
#include <iomanip>
#include <iostream>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>
#include <spdlog/spdlog.h>

#include <tarn/utils/log/logger.hpp>

#include "support/console_capture.hpp"
#include "support/env_guard.hpp"
#include "support/temp_dir.hpp"

namespace {

namespace lg = tarn::utils::log;
namespace tt = tarn::utils::test;
using tt::captureConsole;
using tt::ConsoleText;
using tt::readFile;
using Level = spdlog::level::level_enum;

constexpr const char* kThisFile = "logger_test.cpp";
constexpr const char* kTimestamp = R"(\(\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\.\d{3}\))";
constexpr const char* kDiagnostic = "Error creating log file: ";

std::string levelName(Level level) {
    const auto name = spdlog::level::to_string_view(level);
    return std::string(name.data(), name.size());
}

std::string escapeRegex(const std::string& text) {
    static const std::regex special(R"([.^$|()\[\]{}*+?\\])");
    return std::regex_replace(text, special, R"(\$&)");
}

constexpr int kNoLocation = 0;
constexpr int kAnyLine = -1;

// The pattern of one record in the fixed line format, logged from `line` of
// this file. A record without source location renders as [:].
std::string recordPattern(Level level, const std::string& message, int line = kNoLocation) {
    const std::string where = line == kNoLocation ? ":"
                              : line == kAnyLine  ? escapeRegex(kThisFile) + R"(:\d+)"
                                                  : escapeRegex(kThisFile + (":" + std::to_string(line)));
    return std::string(kTimestamp) + " \\[" + levelName(level) + "\\] \\[" + where + "\\] " +
           escapeRegex(message);
}

bool matchesWhole(const std::string& text, const std::string& pattern) {
    return std::regex_match(text, std::regex(pattern));
}

std::size_t count(const std::string& text, const std::string& part) {
    std::size_t found = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size())) ++found;
    return found;
}

class LoggerTest : public ::testing::Test {
protected:
    // These cases look at files; the console stays quiet unless a case
    // turns it back on.
    LoggerTest() { logger_.SetConsoleSinkLevel(spdlog::level::off); }

    spdlog::logger& raw() { return logger_.RawLogger(); }

    tt::TempDir dir_;
    lg::Logger logger_{"test"};
};

TEST_F(LoggerTest, ConsoleShowsLevelsFromItsThresholdOnTheirOwnStream) {
    enum class Stream { None, Out, Err };
    struct Row {
        const char* threshold;  // "default": not set
        Level level;
        Stream stream;
    };
    const Row rows[] = {
        {"default", spdlog::level::trace, Stream::None},
        {"default", spdlog::level::info, Stream::None},
        {"default", spdlog::level::warn, Stream::None},
        {"default", spdlog::level::err, Stream::Err},
        {"default", spdlog::level::critical, Stream::Err},
        {"warning", spdlog::level::info, Stream::None},
        {"warning", spdlog::level::warn, Stream::Err},
        {"trace", spdlog::level::trace, Stream::Out},
        {"trace", spdlog::level::debug, Stream::Out},
        {"trace", spdlog::level::info, Stream::Out},
        {"trace", spdlog::level::err, Stream::Err},
        {"off", spdlog::level::critical, Stream::None},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.threshold) + " threshold, " + levelName(row.level) + " record");
        lg::Logger logger("console");
        if (std::string(row.threshold) != "default")
            logger.SetConsoleSinkLevel(spdlog::level::from_str(row.threshold));
        const ConsoleText seen = captureConsole([&] { logger.RawLogger().log(row.level, "seen"); });
        const std::string record = recordPattern(row.level, "seen");
        EXPECT_TRUE(matchesWhole(seen.out, row.stream == Stream::Out ? record : "")) << seen.out;
        EXPECT_TRUE(matchesWhole(seen.err, row.stream == Stream::Err ? record : "")) << seen.err;
    }
    EXPECT_EQ(logger_.LogDestination(), "");
}

TEST_F(LoggerTest, WritesTheFixedLineFormatWithoutLineBreakOrColour) {
    const std::string path = dir_.file("format.log");
    logger_.SetLogDestination(path);

    // The macros give the record the caller's file and line; the plain calls
    // give it none.
    std::string expected;
    int line = 0;
    line = __LINE__; SPDLOG_LOGGER_TRACE(&raw(), "at {}", "trace");
    expected += recordPattern(spdlog::level::trace, "at trace", line);
    line = __LINE__; SPDLOG_LOGGER_DEBUG(&raw(), "at debug");
    expected += recordPattern(spdlog::level::debug, "at debug", line);
    line = __LINE__; SPDLOG_LOGGER_ERROR(&raw(), "at error");
    expected += recordPattern(spdlog::level::err, "at error", line);
    for (Level level : {spdlog::level::info, spdlog::level::warn, spdlog::level::critical}) {
        raw().log(level, "plain {}", levelName(level));
        expected += recordPattern(level, "plain " + levelName(level));
    }
    raw().info("ends its own line\n");
    expected += recordPattern(spdlog::level::info, "ends its own line\n");
    raw().flush();

    const std::string written = readFile(path);
    EXPECT_TRUE(matchesWhole(written, expected)) << written;
    EXPECT_EQ(written.find('\x1b'), std::string::npos);
}

TEST(LoggerTimestamp, IsLocalTime) {
    // Restores TZ, then makes the C library read it again.
    struct ReloadZone {
        ~ReloadZone() { ::tzset(); }
    } reloadZone;
    tt::EnvGuard guard;
    ::setenv("TZ", "TARN-05:30", 1);  // UTC+05:30, so UTC cannot pass for it
    ::tzset();

    tt::TempDir dir;
    lg::Logger logger("zone");
    logger.SetLogDestination(dir.file("zone.log"));
    const std::time_t before = std::time(nullptr);
    logger.RawLogger().info("now");
    const std::time_t after = std::time(nullptr);

    std::tm stamp{};
    std::istringstream written(readFile(dir.file("zone.log")));
    written.ignore(1) >> std::get_time(&stamp, "%Y-%m-%d %H:%M:%S");
    ASSERT_FALSE(written.fail()) << written.str();
    stamp.tm_isdst = -1;
    const std::time_t logged = std::mktime(&stamp);
    EXPECT_GE(logged, before - 1);
    EXPECT_LE(logged, after + 1);
}

TEST_F(LoggerTest, OpenedFileStartsEmptyAndReceivesEveryLevel) {
    const std::string path = dir_.file("./run.log");
    tt::writeFile(path, "left over from an earlier run\n");
    logger_.SetLogDestination(path);
    EXPECT_TRUE(std::filesystem::exists(path));
    EXPECT_EQ(readFile(path), "");
    EXPECT_EQ(logger_.LogDestination(), path);  // as given, not normalised

    // Every level reaches the file, whatever the console shows. A trace
    // record waits for the next flush, which any record from debug up
    // brings along.
    raw().trace("t\n");
    raw().debug("d\n");
    EXPECT_NE(readFile(path).find("[trace] [:] t\n"), std::string::npos);
    EXPECT_NE(readFile(path).find("[debug] [:] d\n"), std::string::npos);
    for (Level level : {spdlog::level::info, spdlog::level::warn, spdlog::level::err, spdlog::level::critical})
        raw().log(level, "x\n");
    const std::string written = readFile(path);
    for (Level level : {spdlog::level::info, spdlog::level::warn, spdlog::level::err, spdlog::level::critical})
        EXPECT_EQ(count(written, "[" + levelName(level) + "] [:] x\n"), 1u) << levelName(level);
}

TEST_F(LoggerTest, SwitchingAndTurningOffMoveWhereRecordsGo) {
    const std::string first = dir_.file("a.log");
    const std::string second = dir_.file("b.log");
    logger_.SetLogDestination(first);
    raw().error("one\n");
    logger_.SetLogDestination(second);
    raw().error("two\n");
    EXPECT_EQ(logger_.LogDestination(), second);

    logger_.SetLogDestination("");
    EXPECT_EQ(logger_.LogDestination(), second);  // off, but still named
    logger_.SetConsoleSinkLevel(spdlog::level::err);
    const ConsoleText seen = captureConsole([&] { raw().error("three\n"); });
    EXPECT_EQ(count(seen.err, "three\n"), 1u);  // the console is unaffected

    const std::string inFirst = readFile(first);
    const std::string inSecond = readFile(second);
    EXPECT_EQ(count(inFirst, "one\n"), 1u);
    EXPECT_EQ(count(inFirst, "two\n") + count(inFirst, "three\n"), 0u) << inFirst;
    EXPECT_EQ(count(inSecond, "two\n"), 1u);
    EXPECT_EQ(count(inSecond, "one\n") + count(inSecond, "three\n"), 0u) << inSecond;
}

TEST_F(LoggerTest, ReopeningTheSameNameEmptiesIt) {
    const std::string path = dir_.file("same.log");
    logger_.SetLogDestination(path);
    raw().error("flushed\n");
    raw().trace("still buffered\n");  // no flush follows a trace record
    logger_.SetLogDestination(path);
    EXPECT_EQ(readFile(path), "");
    raw().error("after\n");
    EXPECT_EQ(count(readFile(path), "after\n"), 1u);

    // Also when file output was off in between.
    logger_.SetLogDestination("");
    logger_.SetLogDestination(path);
    EXPECT_EQ(readFile(path), "");
}

// Reopening by name, as log rotation needs it: the file of that name is
// appended to, never emptied; a file renamed away keeps what it had, every
// record written out, and is closed.
TEST_F(LoggerTest, ReopenAppendsToTheFileOfTheNameAndReleasesARenamedOne) {
    const std::string path = dir_.file("app.log");
    const std::string rotated = dir_.file("app.log.1");
    logger_.SetLogDestination(path);
    raw().error("one\n");
    raw().trace("buffered\n");  // no flush follows a trace record
    logger_.ReopenLogDestination();
    raw().error("two\n");
    EXPECT_TRUE(matchesWhole(readFile(path), recordPattern(spdlog::level::err, "one\n") +
                                                 recordPattern(spdlog::level::trace, "buffered\n") +
                                                 recordPattern(spdlog::level::err, "two\n")))
        << readFile(path);

    std::filesystem::rename(path, rotated);
    raw().trace("late\n");
    logger_.ReopenLogDestination();
    EXPECT_EQ(count(readFile(rotated), "late\n"), 1u) << "written out by the reopen";
    EXPECT_EQ(tt::descriptorsOpenOn(rotated), 0u);
    raw().error("three\n");
    EXPECT_TRUE(matchesWhole(readFile(path), recordPattern(spdlog::level::err, "three\n"))) << readFile(path);
    EXPECT_EQ(count(readFile(rotated), "three"), 0u);
    EXPECT_EQ(logger_.LogDestination(), path);
}

// With file output off, before the first file or after turning it off,
// reopening neither creates a file nor turns output back on.
TEST_F(LoggerTest, ReopenWithFileOutputOffDoesNothing) {
    const ConsoleText fresh = captureConsole([&] { logger_.ReopenLogDestination(); });
    EXPECT_EQ(fresh.err, "");
    EXPECT_EQ(logger_.LogDestination(), "");

    const std::string path = dir_.file("off.log");
    logger_.SetLogDestination(path);
    logger_.SetLogDestination("");
    std::filesystem::remove(path);
    const ConsoleText off = captureConsole([&] { logger_.ReopenLogDestination(); });
    EXPECT_EQ(off.err, "");
    raw().error("nowhere\n");
    EXPECT_FALSE(std::filesystem::exists(path));
    EXPECT_EQ(logger_.LogDestination(), path);
}

// A failed rotation must not stop logging: when the name no longer opens,
// the reopen reports it and records go on reaching the current file.
TEST(LoggerReopen, ANameThatNoLongerOpensKeepsTheCurrentFile) {
    tt::TempDir dir;
    std::filesystem::create_directory(dir.file("logs"));
    const std::string path = dir.file("logs/app.log");
    lg::Logger logger("reopen");
    logger.SetConsoleSinkLevel(spdlog::level::off);
    logger.SetLogDestination(path);
    logger.RawLogger().info("before\n");

    // The directory is moved away and a regular file takes its name.
    std::filesystem::rename(dir.file("logs"), dir.file("moved"));
    tt::writeFile(dir.file("logs"), "a regular file, not a directory");
    const ConsoleText seen = captureConsole([&] {
        logger.ReopenLogDestination();
        logger.RawLogger().info("after\n");
    });
    EXPECT_EQ(seen.err.rfind(kDiagnostic, 0), 0u) << seen.err;
    EXPECT_EQ(count(seen.err, "\n"), 1u) << seen.err;
    EXPECT_EQ(logger.LogDestination(), path);
    const std::string kept = readFile(dir.file("moved/app.log"));
    EXPECT_TRUE(matchesWhole(kept, recordPattern(spdlog::level::info, "before\n") +
                                       recordPattern(spdlog::level::info, "after\n")))
        << kept;
}

// From each state of the file output, a name that cannot be created reports
// once, leaves file output off with the previous name, and the program and
// its console carry on.
TEST(LoggerFailedOpen, ReportsOnceAndLeavesFileOutputOff) {
    enum class Start { NoFile, Writing, Off };
    struct Row {
        const char* what;
        Start start;
    };
    const Row rows[] = {
        {"no file", Start::NoFile},
        {"writing to a file", Start::Writing},
        {"file output off", Start::Off},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        tt::TempDir dir;
        const std::string previous = dir.file("previous.log");
        tt::writeFile(dir.file("plain"), "a regular file, not a directory");
        const std::string unopenable = dir.file("plain/run.log");

        lg::Logger logger("failing");
        if (row.start != Start::NoFile) logger.SetLogDestination(previous);
        if (row.start == Start::Off) logger.SetLogDestination("");

        const ConsoleText seen = captureConsole([&] {
            logger.SetLogDestination(unopenable);
            logger.RawLogger().error("after\n");
        });
        EXPECT_EQ(seen.out, "");
        EXPECT_EQ(seen.err.rfind(kDiagnostic, 0), 0u) << seen.err;
        EXPECT_EQ(count(seen.err, kDiagnostic), 1u) << seen.err;
        const std::string diagnostic = seen.err.substr(0, seen.err.find('\n') + 1);
        EXPECT_GT(diagnostic.size(), std::string(kDiagnostic).size() + 1) << "no reason given";
        EXPECT_TRUE(matchesWhole(seen.err.substr(diagnostic.size()), recordPattern(spdlog::level::err, "after\n")))
            << seen.err;

        EXPECT_EQ(logger.LogDestination(), row.start == Start::NoFile ? "" : previous);
        EXPECT_EQ(readFile(previous).find("after"), std::string::npos);
        EXPECT_FALSE(std::filesystem::exists(unopenable));

        // A good name afterwards works as usual.
        const std::string good = dir.file("good.log");
        logger.SetLogDestination(good);
        logger.RawLogger().info("recovered\n");
        EXPECT_EQ(count(readFile(good), "recovered\n"), 1u);
    }
}

// The diagnostic goes to the application's own std::cerr, whatever state
// the application keeps it in: it never throws, a failed write never
// outlives the call, and a muted stream stays muted. File output ends off
// either way.
TEST(LoggerFailedOpen, DiagnosticLeavesStdCerrAsTheCallerLeftIt) {
    using State = std::ios::iostate;
    struct Row {
        const char* what;
        State exceptions;  // the caller's exception mask
        State state;       // the caller's stream state
        bool fullDevice;   // standard error is /dev/full during the call
        bool written;      // the diagnostic reaches standard error
    };
    const Row rows[] = {
        {"badbit exceptions, full device", std::ios::badbit, std::ios::goodbit, true, false},
        {"no exceptions, full device", std::ios::goodbit, std::ios::goodbit, true, false},
        {"every exception, working device", std::ios::badbit | std::ios::failbit | std::ios::eofbit,
         std::ios::goodbit, false, true},
        {"muted by the caller (failbit)", std::ios::goodbit, std::ios::failbit, false, false},
    };
    const State savedExceptions = std::cerr.exceptions();
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        tt::TempDir dir;
        tt::writeFile(dir.file("plain"), "a regular file, not a directory");
        const std::string previous = dir.file("previous.log");
        lg::Logger logger("failing");
        logger.SetConsoleSinkLevel(spdlog::level::off);
        logger.SetLogDestination(previous);

        std::cerr.clear(row.state);
        std::cerr.exceptions(row.exceptions);
        bool threw = false;
        const ConsoleText seen = captureConsole([&] {
            std::optional<tt::FullDevice> full;
            if (row.fullDevice) full.emplace(STDERR_FILENO);
            try {
                logger.SetLogDestination(dir.file("plain/run.log"));
            } catch (...) {
                threw = true;
            }
            logger.RawLogger().error("after\n");
        });
        const State stateAfter = std::cerr.rdstate();
        const State exceptionsAfter = std::cerr.exceptions();
        // Once the device has room again, the application's own output gets
        // through the stream as the call left it (unless the application
        // muted it itself).
        std::cerr.exceptions(std::ios::goodbit);
        const ConsoleText later = captureConsole([&] { std::cerr << "later\n"; });
        std::cerr.clear();

        EXPECT_FALSE(threw);
        EXPECT_EQ(stateAfter, row.state);
        EXPECT_EQ(exceptionsAfter, row.exceptions);
        EXPECT_EQ(count(seen.err, kDiagnostic), row.written ? 1u : 0u) << seen.err;
        EXPECT_EQ(later.err, row.state == std::ios::goodbit ? "later\n" : "");
        EXPECT_EQ(count(readFile(previous), "after\n"), 0u) << "file output is still on";
        EXPECT_EQ(logger.LogDestination(), previous);
    }
    std::cerr.exceptions(savedExceptions);
}

// The message of record `index` of thread `thread`: "thread T record N "
// and a run of one letter whose length depends on both, so a torn or merged
// line cannot pass for a whole one.
std::string numberedMessage(int thread, int index, std::size_t minSize, std::size_t spread) {
    const std::size_t size = minSize + static_cast<std::size_t>(index * 7919 + thread * 131) % spread;
    return "thread " + std::to_string(thread) + " record " + std::to_string(index) + " " +
           std::string(size, static_cast<char>('a' + thread));
}

// Whether `line` (without its line feed) is exactly one record logged as
// numberedMessage(..., minSize, spread) at `level` without source location.
bool isWholeRecord(const std::string& line, Level level, std::size_t minSize, std::size_t spread) {
    static const std::regex stamp(kTimestamp);
    const std::string marker = " [" + levelName(level) + "] [:] thread ";
    const auto at = line.find(marker);
    if (at == std::string::npos || !std::regex_match(line.substr(0, at), stamp)) return false;
    int thread = -1;
    int index = -1;
    std::istringstream numbers(line.substr(at + marker.size()));
    std::string word;
    numbers >> thread >> word >> index;
    if (numbers.fail() || word != "record" || thread < 0 || thread > 25 || index < 0) return false;
    return line.compare(at + marker.size() - 7, std::string::npos, numberedMessage(thread, index, minSize, spread)) == 0;
}

// Threads that log numbered records through their own RawLoggerPtr() copy
// without pause until destroyed, thread t at levels[t % levels.size()].
class NumberedRecords {
public:
    NumberedRecords(std::shared_ptr<spdlog::logger> logger, int count, std::vector<Level> levels,
                    std::size_t minSize = 10, std::size_t spread = 50) {
        for (int thread = 0; thread < count; ++thread) {
            const Level level = levels[static_cast<std::size_t>(thread) % levels.size()];
            threads_.emplace_back([this, logger, thread, level, minSize, spread] {
                for (int index = 0; !stop_; ++index)
                    logger->log(level, "{}\n", numberedMessage(thread, index, minSize, spread));
            });
        }
    }
    ~NumberedRecords() {
        stop_ = true;
        for (std::thread& thread : threads_) thread.join();
    }
    NumberedRecords(const NumberedRecords&) = delete;
    NumberedRecords& operator=(const NumberedRecords&) = delete;

private:
    std::atomic<bool> stop_{false};
    std::vector<std::thread> threads_;
};

// Turning file output off, on purpose or through a failed switch, writes out
// every byte the previous file received and closes it: nothing waits in a
// buffer for ~Logger (a crash would lose it), and no descriptor keeps a
// rotated-away file alive. Threads keep logging throughout, so records are
// being written into the file at the moment it is detached.
TEST(LoggerFileOff, WritesOutAndClosesThePreviousFile) {
    constexpr int kRounds = 40;
    struct Row {
        const char* what;
        std::string (*next)(const tt::TempDir&);
    };
    const Row rows[] = {
        {"an empty name", [](const tt::TempDir&) { return std::string(); }},
        {"a name that cannot be created", [](const tt::TempDir& dir) { return dir.file("plain/run.log"); }},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        int lateRounds = 0;
        int openRounds = 0;
        for (int round = 0; round < kRounds; ++round) {
            tt::TempDir dir;
            tt::writeFile(dir.file("plain"), "a regular file, not a directory");
            const std::string previous = dir.file("previous.log");
            std::string onReturn;
            {
                lg::Logger logger("off");
                logger.SetConsoleSinkLevel(spdlog::level::off);
                logger.SetLogDestination(previous);
                NumberedRecords busy(logger.RawLoggerPtr(), 4, {spdlog::level::info, spdlog::level::trace});
                while (std::filesystem::file_size(previous) == 0) std::this_thread::yield();
                // The diagnostic is caught at std::cerr's buffer: a console
                // capture would flush every stdio stream, the file's too.
                std::ostringstream diagnostic;
                std::streambuf* const saved = std::cerr.rdbuf(diagnostic.rdbuf());
                logger.SetLogDestination(row.next(dir));
                std::cerr.rdbuf(saved);
                onReturn = readFile(previous);
                openRounds += tt::descriptorsOpenOn(previous) != 0;
                EXPECT_EQ(logger.LogDestination(), previous);
            }
            lateRounds += readFile(previous) != onReturn;
        }
        EXPECT_EQ(openRounds, 0) << "rounds that left the file open";
        EXPECT_EQ(lateRounds, 0) << "rounds whose records reached the file only after the call";
    }
}

TEST_F(LoggerTest, RawLoggerPtrKeepsConsoleAndFileAfterTheLogger) {
    const std::string path = dir_.file("kept.log");
    std::shared_ptr<spdlog::logger> kept;
    {
        lg::Logger scoped("scoped");
        scoped.SetLogDestination(path);
        kept = scoped.RawLoggerPtr();
        EXPECT_EQ(kept.get(), &scoped.RawLogger());
    }
    int line = 0;
    const ConsoleText seen = captureConsole([&] { line = __LINE__; SPDLOG_LOGGER_ERROR(kept, "outlived\n"); });
    const std::string record = recordPattern(spdlog::level::err, "outlived\n", line);
    EXPECT_TRUE(matchesWhole(seen.err, record)) << seen.err;
    EXPECT_TRUE(matchesWhole(readFile(path), record)) << readFile(path);
}

// Threads log without pause while the file is switched again and again;
// afterwards every record must be found exactly once, whole, in one of the
// files.
TEST_F(LoggerTest, RecordsLoggedDuringSwitchesLandExactlyOnce) {
    constexpr int kThreads = 4;
    constexpr int kRecordsPerThread = 1500;
    constexpr int kMinSwitches = 30;
    const std::string payload(60, 'p');

    std::vector<std::string> files{dir_.file("switch-0.log")};
    logger_.SetLogDestination(files.back());

    std::atomic<int> finished{0};
    std::vector<std::thread> threads;
    for (int thread = 0; thread < kThreads; ++thread) {
        threads.emplace_back([&, thread] {
            for (int record = 0; record < kRecordsPerThread; ++record)
                SPDLOG_LOGGER_INFO(&raw(), "thread {} record {} {}\n", thread, record, payload);
            ++finished;
        });
    }
    // Keep switching for as long as anyone logs.
    while (finished < kThreads || static_cast<int>(files.size()) <= kMinSwitches) {
        files.push_back(dir_.file("switch-" + std::to_string(files.size()) + ".log"));
        logger_.SetLogDestination(files.back());
    }
    for (std::thread& thread : threads) thread.join();
    logger_.SetLogDestination("");
    raw().flush();

    const std::regex record(recordPattern(spdlog::level::info, "thread ", kAnyLine) + R"((\d+) record (\d+) p{60})");
    std::map<std::pair<int, int>, int> seen;
    std::size_t malformed = 0;
    for (const std::string& file : files) {
        std::istringstream lines(readFile(file));
        for (std::string line; std::getline(lines, line);) {
            std::smatch parts;
            if (!std::regex_match(line, parts, record)) {
                ++malformed;
                ADD_FAILURE() << "in " << file << ": " << line;
                continue;
            }
            ++seen[{std::stoi(parts[1]), std::stoi(parts[2])}];
        }
    }
    EXPECT_EQ(malformed, 0u);
    int missing = 0;
    int repeated = 0;
    for (int thread = 0; thread < kThreads; ++thread) {
        for (int index = 0; index < kRecordsPerThread; ++index) {
            const auto found = seen.find({thread, index});
            if (found == seen.end()) ++missing;
            else if (found->second > 1) ++repeated;
        }
    }
    EXPECT_EQ(missing, 0);
    EXPECT_EQ(repeated, 0);
    EXPECT_EQ(seen.size(), static_cast<std::size_t>(kThreads * kRecordsPerThread));
    EXPECT_GT(files.size(), static_cast<std::size_t>(kMinSwitches));
}

// Naming the file that is already attached again, under its own name, a
// hard link or a symbolic link, empties it while threads log into it. The
// records the previous sink still buffers must reach the file before it is
// emptied, never after the new records: every line must be a whole record.
// Small trace records sit in the stdio buffer (no flush follows them); debug
// records larger than that buffer are cut by it while being written.
TEST(LoggerReopen, TheAttachedFileUnderAnyNameHoldsOnlyWholeRecords) {
    constexpr int kRounds = 25;
    struct Row {
        const char* what;
        std::string (*alias)(const tt::TempDir&, const std::string&);
        Level level;
        std::size_t minSize, spread;  // of the message
    };
    auto same = [](const tt::TempDir&, const std::string& path) { return path; };
    auto hardLink = [](const tt::TempDir& dir, const std::string& path) {
        std::filesystem::create_hard_link(path, dir.file("hard.log"));
        return dir.file("hard.log");
    };
    auto symLink = [](const tt::TempDir& dir, const std::string& path) {
        std::filesystem::create_symlink(path, dir.file("soft.log"));
        return dir.file("soft.log");
    };
    const Row rows[] = {
        {"the same name, trace records", same, spdlog::level::trace, 20, 200},
        {"a hard link, trace records", hardLink, spdlog::level::trace, 20, 200},
        {"a symbolic link, trace records", symLink, spdlog::level::trace, 20, 200},
        {"the same name, debug records of 3 to 9 KB", same, spdlog::level::debug, 3000, 6000},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        int tornRounds = 0;
        std::string example;
        for (int round = 0; round < kRounds; ++round) {
            tt::TempDir dir;
            const std::string path = dir.file("run.log");
            lg::Logger logger("reopen");
            logger.SetConsoleSinkLevel(spdlog::level::off);
            logger.SetLogDestination(path);
            const std::string alias = row.alias(dir, path);
            {
                NumberedRecords busy(logger.RawLoggerPtr(), 3, {row.level}, row.minSize, row.spread);
                while (std::filesystem::file_size(path) == 0) std::this_thread::yield();
                logger.SetLogDestination(alias);
                while (std::filesystem::file_size(path) == 0) std::this_thread::yield();
            }
            logger.SetLogDestination("");  // writes out and closes
            std::istringstream lines(readFile(path));
            bool torn = false;
            for (std::string line; std::getline(lines, line);) {
                if (isWholeRecord(line, row.level, row.minSize, row.spread)) continue;
                if (example.empty()) example = line.substr(0, 200);
                torn = true;
            }
            tornRounds += torn;
        }
        EXPECT_EQ(tornRounds, 0) << "of " << kRounds << " rounds, e.g. " << example;
    }
}

// Every member may be called from any thread at once. Threads switch the
// file between two names, read the name back and change the console's
// threshold while others log: each read gives a name that was set, and once
// the last switch returns only its file is attached and open.
TEST(LoggerConfiguration, MembersCalledFromManyThreadsAtOnceActInSomeOrder) {
    constexpr int kRounds = 10;
    constexpr int kConfigurers = 3;
    constexpr int kSwitches = 150;  // per configuring thread and round
    int strayReads = 0;
    int leftOpen = 0;
    int extraFiles = 0;
    for (int round = 0; round < kRounds; ++round) {
        tt::TempDir dir;
        const std::string names[] = {dir.file("s"), dir.file(std::string(60, 'l') + ".log")};
        lg::Logger logger("configured");
        std::atomic<int> stray{0};
        {
            NumberedRecords busy(logger.RawLoggerPtr(), 2, {spdlog::level::trace});
            std::vector<std::thread> configurers;
            for (int thread = 0; thread < kConfigurers; ++thread) {
                configurers.emplace_back([&, thread] {
                    const Level thresholds[] = {spdlog::level::off, spdlog::level::critical};
                    for (int i = 0; i < kSwitches; ++i) {
                        logger.SetLogDestination(names[(i + thread) % 2]);
                        const std::string read = logger.LogDestination();
                        stray += read != names[0] && read != names[1];
                        logger.SetConsoleSinkLevel(thresholds[i % 2]);
                    }
                });
            }
            for (std::thread& thread : configurers) thread.join();
        }
        strayReads += stray;
        // Whatever order the calls took, one file is attached now: a record
        // reaches it alone.
        logger.SetConsoleSinkLevel(spdlog::level::off);
        logger.SetLogDestination(names[0]);
        logger.RawLogger().critical("last\n");
        extraFiles += count(readFile(names[1]), "last\n") != 0;
        logger.SetLogDestination("");
        for (const std::string& name : names) leftOpen += tt::descriptorsOpenOn(name) != 0;
    }
    EXPECT_EQ(strayReads, 0) << "LogDestination() gave a name never set";
    EXPECT_EQ(extraFiles, 0) << "rounds that left a second file attached";
    EXPECT_EQ(leftOpen, 0) << "files still open after file output was turned off";
}

// A record that no attached sink admits never waits for a lock of the
// Logger's: with standard error stuck (a pipe nobody reads), a thread
// blocked in writing an err record to the console holds up no trace record
// of another thread, which neither the console nor a file wants. So after
// every way of getting there.
TEST(LoggerGate, ARecordNoSinkAdmitsDoesNotWaitForAStuckConsole) {
    struct Row {
        const char* what;
        void (*setUp)(lg::Logger&, const tt::TempDir&);
    };
    const Row rows[] = {
        {"never a file", [](lg::Logger&, const tt::TempDir&) {}},
        {"a file turned off",
         [](lg::Logger& logger, const tt::TempDir& dir) {
             logger.SetLogDestination(dir.file("a.log"));
             logger.SetLogDestination("");
         }},
        {"a failed open without a file",
         [](lg::Logger& logger, const tt::TempDir& dir) {
             tt::writeFile(dir.file("plain"), "a regular file, not a directory");
             logger.SetLogDestination(dir.file("plain/run.log"));
         }},
        {"the console's threshold raised from trace",
         [](lg::Logger& logger, const tt::TempDir&) {
             logger.SetConsoleSinkLevel(spdlog::level::trace);
             logger.SetConsoleSinkLevel(spdlog::level::err);
         }},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        tt::TempDir dir;
        lg::Logger logger("gate");
        captureConsole([&] { row.setUp(logger, dir); });

        std::fflush(nullptr);
        const int savedErr = ::dup(STDERR_FILENO);
        int ends[2];
        ASSERT_EQ(::pipe(ends), 0);
        // Fill the pipe without blocking, then let writes block again.
        ::fcntl(ends[1], F_SETFL, O_NONBLOCK);
        const std::string filler(4096, 'f');
        while (::write(ends[1], filler.data(), filler.size()) > 0) {
        }
        ::fcntl(ends[1], F_SETFL, 0);
        ::dup2(ends[1], STDERR_FILENO);

        std::atomic<bool> stuckDone{false};
        std::thread stuck([&] {
            logger.RawLogger().error("stuck\n");
            stuckDone = true;
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        const bool stuckWasBlocked = !stuckDone;
        auto passing = std::async(std::launch::async, [&] { logger.RawLogger().trace("nobody wants this\n"); });
        const bool passed = passing.wait_for(std::chrono::seconds(2)) == std::future_status::ready;

        // Let the stuck record through and put standard error back.
        ::fcntl(ends[0], F_SETFL, O_NONBLOCK);
        char drain[4096];
        while (!stuckDone) {
            if (::read(ends[0], drain, sizeof drain) <= 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        stuck.join();
        passing.wait();
        ::dup2(savedErr, STDERR_FILENO);
        for (int fd : {savedErr, ends[0], ends[1]}) ::close(fd);

        EXPECT_TRUE(stuckWasBlocked) << "the err record was not held up by the full pipe";
        EXPECT_TRUE(passed) << "the trace record waited for the stuck console";
    }
}

}  // namespace
