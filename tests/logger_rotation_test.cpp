// SPDX-License-Identifier: MIT
// Log rotation the way a daemon meets it: Debian's logrotate renames the
// live file, creates a new one and sends SIGHUP; a thread of ours that waits
// for the signal reopens the log file by its name. Threads log numbered
// records all the while. Afterwards every record must be whole and in
// exactly one of the files, also when SIGHUP arrives without a rotation.
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdlib>
#include <filesystem>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <spdlog/spdlog.h>

#include <tarn/utils/log/logger.hpp>

#include "support/temp_dir.hpp"

extern char** environ;

namespace {

namespace lg = tarn::utils::log;
namespace tt = tarn::utils::test;

constexpr int kThreads = 3;
constexpr int kRounds = 30;  // logrotate runs, and a bare SIGHUP after every fifth

// The logrotate this suite was configured with; empty when none was found.
const char* logrotateProgram() {
    return TARN_LOGROTATE;
}

// Runs `argv` to its end and returns its exit status, or -1 when it could
// not be started. The child gets an empty signal mask: ours blocks SIGHUP.
int run(const std::vector<std::string>& argv) {
    std::vector<char*> args;
    for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK);
    pid_t child = 0;
    const int error = posix_spawn(&child, args[0], nullptr, &attributes, args.data(), environ);
    posix_spawnattr_destroy(&attributes);
    if (error != 0) return -1;
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// The signals of the waiting thread: SIGHUP reopens, SIGUSR2 ends it.
sigset_t waitedSignals() {
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGHUP);
    sigaddset(&signals, SIGUSR2);
    return signals;
}

// The waited signals blocked in this thread and every thread started while
// this lives, so that only sigwait() takes them, as in a daemon that blocks
// them in main().
class BlockedSignals {
public:
    BlockedSignals() {
        const sigset_t signals = waitedSignals();
        pthread_sigmask(SIG_BLOCK, &signals, &previous_);
    }
    ~BlockedSignals() {
        // One still pending would end the process once unblocked.
        const sigset_t signals = waitedSignals();
        const timespec now{0, 0};
        while (sigtimedwait(&signals, nullptr, &now) > 0) {
        }
        pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
    }
    BlockedSignals(const BlockedSignals&) = delete;
    BlockedSignals& operator=(const BlockedSignals&) = delete;

private:
    sigset_t previous_{};
};

std::string messageOf(int thread, int index) {
    return "t" + std::to_string(thread) + " n" + std::to_string(index) + " " +
           std::string(static_cast<std::size_t>(5 + (index * 11 + thread) % 90), static_cast<char>('a' + thread));
}

TEST(LoggerRotation, LogrotateWithCreateAndSighupLosesAndRepeatsNothing) {
    if (*logrotateProgram() == '\0') GTEST_SKIP() << "logrotate is not installed";
    tt::TempDir dir;
    const std::string live = dir.file("app.log");
    const std::string config = dir.file("logrotate.conf");
    // logrotate refuses a configuration that others may write to.
    tt::writeFile(config, live + " {\n"
                                 "    rotate 1000\n"
                                 "    create\n"
                                 "    nocompress\n"
                                 "    postrotate\n"
                                 "        kill -HUP " +
                              std::to_string(getpid()) +
                              "\n"
                              "    endscript\n"
                              "}\n");
    std::filesystem::permissions(config, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);

    BlockedSignals blocked;
    lg::Logger logger("rotation");
    logger.SetConsoleSinkLevel(spdlog::level::off);
    logger.SetLogDestination(live);

    std::atomic<int> reopened{0};
    std::thread waiter([&] {
        const sigset_t wanted = waitedSignals();
        for (int signal = 0; sigwait(&wanted, &signal) == 0 && signal == SIGHUP;) {
            logger.ReopenLogDestination();
            ++reopened;
        }
    });

    std::atomic<bool> stop{false};
    std::vector<int> logged(kThreads, 0);
    std::vector<std::thread> threads;
    for (int thread = 0; thread < kThreads; ++thread) {
        threads.emplace_back([&, thread] {
            // Trace records are not flushed after each record: the reopen
            // must write out what they left in the old file's buffer.
            auto backend = logger.RawLoggerPtr();
            int index = 0;
            for (; !stop.load(); ++index) {
                const auto level = index % 2 == 0 ? spdlog::level::info : spdlog::level::trace;
                backend->log(level, "{}\n", messageOf(thread, index));
                if (index % 64 == 0) std::this_thread::sleep_for(std::chrono::microseconds(200));
            }
            logged[static_cast<std::size_t>(thread)] = index;
        });
    }

    auto waitForReopen = [&](int expected) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (reopened.load() < expected && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        return reopened.load() >= expected;
    };
    int signals = 0;
    int rotations = 0;
    for (int round = 0; round < kRounds; ++round) {
        std::this_thread::sleep_for(std::chrono::milliseconds(15));
        ASSERT_EQ(run({logrotateProgram(), "-f", "-s", dir.file("state"), config}), 0) << "round " << round;
        ++rotations;
        ASSERT_TRUE(waitForReopen(++signals)) << "no reopen after rotation " << round;
        if (round % 5 == 4) {
            // A SIGHUP with no rotation: a reload, a postrotate run twice.
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            kill(getpid(), SIGHUP);
            ASSERT_TRUE(waitForReopen(++signals)) << "no reopen after a bare SIGHUP in round " << round;
        }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(15));
    stop = true;
    for (std::thread& thread : threads) thread.join();
    kill(getpid(), SIGUSR2);
    waiter.join();
    logger.SetLogDestination("");  // writes out and closes the live file

    // app.log, app.log.1 .. app.log.<rotations>: every record in exactly one.
    std::vector<std::vector<int>> seen(kThreads);
    for (int thread = 0; thread < kThreads; ++thread) seen[static_cast<std::size_t>(thread)].assign(logged[static_cast<std::size_t>(thread)], 0);
    const std::regex record(R"(\(\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\.\d{3}\) \[(info|trace)\] \[:\] (t(\d) n(\d+) [a-z]+))");
    std::size_t files = 0, torn = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir.file(""))) {
        const std::string name = entry.path().filename().string();
        if (name.rfind("app.log", 0) != 0) continue;
        ++files;
        std::istringstream in(tt::readFile(entry.path().string()));
        for (std::string line; std::getline(in, line);) {
            std::smatch match;
            bool whole = std::regex_match(line, match, record);
            if (whole) {
                const int thread = std::stoi(match[3]);
                const int index = std::stoi(match[4]);
                whole = thread < kThreads && index < logged[static_cast<std::size_t>(thread)] &&
                        match[2] == messageOf(thread, index) && match[1] == (index % 2 == 0 ? "info" : "trace");
                if (whole) ++seen[static_cast<std::size_t>(thread)][static_cast<std::size_t>(index)];
            }
            if (!whole && ++torn <= 5) ADD_FAILURE() << "not one whole record in " << name << ": " << line;
        }
    }
    EXPECT_EQ(torn, 0u);
    EXPECT_EQ(files, static_cast<std::size_t>(rotations) + 1);

    std::size_t records = 0, missing = 0, repeated = 0;
    for (const auto& counts : seen) {
        for (const int count : counts) {
            ++records;
            missing += count == 0 ? 1 : 0;
            repeated += count > 1 ? 1 : 0;
        }
    }
    EXPECT_EQ(missing, 0u) << "of " << records << " records";
    EXPECT_EQ(repeated, 0u) << "of " << records << " records";
    EXPECT_GT(records, static_cast<std::size_t>(kRounds) * kThreads);
}

}  // namespace
