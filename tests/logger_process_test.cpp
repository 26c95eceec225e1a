// SPDX-License-Identifier: MIT
// The Logger and other processes: a child started while a file is attached
// inherits no descriptor to it, and a child forked while threads log can log
// at once through the same Logger without repeating the parent's records.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <spdlog/spdlog.h>

#include <tarn/utils/log/logger.hpp>

#include "support/console_capture.hpp"
#include "support/temp_dir.hpp"

extern char** environ;

namespace {

namespace lg = tarn::utils::log;
namespace tt = tarn::utils::test;
using Level = spdlog::level::level_enum;

std::size_t count(const std::string& text, const std::string& part) {
    std::size_t found = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size())) ++found;
    return found;
}

[[noreturn]] void fail(const char* what) {
    throw std::system_error(errno, std::generic_category(), what);
}

// Starts /bin/sh listing where each of its descriptors points, the way a
// child of this process started at this moment sees them, and returns the
// listing.
std::string descriptorsOfAChild(bool viaPosixSpawn) {
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) fail("pipe2");
    const char* argv[] = {"sh", "-c", "for f in /proc/$$/fd/*; do readlink \"$f\"; done", nullptr};
    pid_t child = -1;
    if (viaPosixSpawn) {
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, ends[1], STDOUT_FILENO);
        const int error = ::posix_spawn(&child, "/bin/sh", &actions, nullptr, const_cast<char**>(argv), environ);
        posix_spawn_file_actions_destroy(&actions);
        if (error != 0) {
            errno = error;
            fail("posix_spawn");
        }
    } else {
        child = ::fork();
        if (child < 0) fail("fork");
        if (child == 0) {
            ::dup2(ends[1], STDOUT_FILENO);
            ::execve("/bin/sh", const_cast<char**>(argv), environ);
            ::_exit(127);
        }
    }
    ::close(ends[1]);
    std::string listing;
    char buffer[4096];
    for (ssize_t got; (got = ::read(ends[0], buffer, sizeof buffer)) > 0;)
        listing.append(buffer, static_cast<std::size_t>(got));
    ::close(ends[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    return listing;
}

// A child started with posix_spawn or fork and exec while a file is
// attached: it must not keep the file open (the file's space would outlive
// its deletion by log rotation, and the child could write into it), after
// the first open, a reopen of the same name, and a switch.
TEST(LoggerChildProcess, InheritsNoDescriptorToTheLogFile) {
    tt::TempDir dir;
    lg::Logger logger("parent");
    logger.SetConsoleSinkLevel(spdlog::level::off);
    const std::string first = dir.file("first.log");
    const std::string second = dir.file("second.log");
    const std::vector<std::pair<const char*, std::string>> steps = {
        {"first open", first}, {"same name again", first}, {"another file", second}};
    for (const auto& [what, name] : steps) {
        logger.SetLogDestination(name);
        logger.RawLogger().info("parent record\n");
        for (bool viaPosixSpawn : {true, false}) {
            SCOPED_TRACE(std::string(what) + (viaPosixSpawn ? ", posix_spawn" : ", fork and exec"));
            const std::string listing = descriptorsOfAChild(viaPosixSpawn);
            EXPECT_NE(listing.find("pipe:"), std::string::npos) << "no listing: " << listing;
            EXPECT_EQ(listing.find(dir.file("")), std::string::npos) << listing;
        }
    }
}

// Waits up to `limit` for the child; kills it if it is still running then.
// Returns whether it ended by itself with status 0.
bool finishedInTime(pid_t child, std::chrono::seconds limit, bool& hung) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    int status = 0;
    while (::waitpid(child, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            hung = true;
            ::kill(child, SIGKILL);
            ::waitpid(child, &status, 0);
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// Threads log into the file and onto the console while another forks: the
// child's first record must not wait for a lock that a thread of the parent,
// which does not exist in the child, held at the moment of the fork. A hang
// fails the round after a generous limit rather than blocking the suite.
TEST(LoggerFork, AChildForkedWhileThreadsLogCanLogAtOnce) {
    constexpr int kRounds = 30;
    int hung = 0;
    int failed = 0;
    int childRecords = 0;
    tt::TempDir dir;
    tt::captureConsole([&] {
        for (int round = 0; round < kRounds; ++round) {
            const std::string path = dir.file("run" + std::to_string(round) + ".log");
            lg::Logger logger("forking");
            logger.SetConsoleSinkLevel(spdlog::level::info);  // the threads' info records reach stdout
            logger.SetLogDestination(path);
            {
                std::atomic<bool> stop{false};
                std::vector<std::thread> threads;
                for (int thread = 0; thread < 3; ++thread) {
                    threads.emplace_back([&, thread] {
                        const Level level = thread == 0 ? spdlog::level::trace : spdlog::level::info;
                        for (int index = 0; !stop; ++index)
                            logger.RawLogger().log(level, "thread {} record {}\n", thread, index);
                    });
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
                const pid_t child = ::fork();
                if (child == 0) {
                    logger.RawLogger().error("child record\n");
                    logger.RawLogger().flush();
                    ::_exit(0);
                }
                // The child's locks are as the fork left them; the threads
                // have done their part.
                stop = true;
                for (std::thread& thread : threads) thread.join();
                bool roundHung = false;
                if (child < 0 || !finishedInTime(child, std::chrono::seconds(5), roundHung)) ++failed;
                hung += roundHung;
            }
            logger.SetLogDestination("");
            childRecords += count(tt::readFile(path), "[error] [:] child record\n") == 1;
        }
    });
    EXPECT_EQ(hung, 0) << "of " << kRounds << " children hung on their first record";
    EXPECT_EQ(failed, 0) << "of " << kRounds << " children did not end well";
    EXPECT_EQ(childRecords, kRounds) << "rounds whose child's record is in the file once";
}

// Records the parent logged before a fork are in the file once, whatever the
// child does: trace records waiting in the file's buffer at the moment of
// the fork must not be written a second time by the child's copy of that
// buffer, when the child flushes it with a record of its own or when it
// exits through exit().
TEST(LoggerFork, NoRecordIsDuplicatedByTheFork) {
    struct Row {
        const char* what;
        void (*child)(spdlog::logger&);
        bool childRecord;
    };
    const Row rows[] = {
        {"the child logs a debug record (flushed)",
         [](spdlog::logger& logger) {
             logger.debug("child record\n");
             ::_exit(0);
         },
         true},
        {"the child calls exit()", [](spdlog::logger&) { std::exit(0); }, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        tt::TempDir dir;
        const std::string path = dir.file("run.log");
        lg::Logger logger("forking");
        logger.SetConsoleSinkLevel(spdlog::level::off);
        logger.SetLogDestination(path);
        for (int index = 0; index < 10; ++index) logger.RawLogger().trace("parent record {}\n", index);
        // Nothing of the test's own for the child to repeat; fflush(nullptr)
        // would write out the log file's buffer as well.
        std::fflush(stdout);
        std::fflush(stderr);
        const pid_t child = ::fork();
        if (child == 0) row.child(logger.RawLogger());
        bool hung = false;
        EXPECT_TRUE(child > 0 && finishedInTime(child, std::chrono::seconds(10), hung));
        logger.SetLogDestination("");

        const std::string written = tt::readFile(path);
        for (int index = 0; index < 10; ++index)
            EXPECT_EQ(count(written, "[trace] [:] parent record " + std::to_string(index) + "\n"), 1u)
                << written;
        EXPECT_EQ(count(written, "child record\n"), row.childRecord ? 1u : 0u) << written;
    }
}

}  // namespace
