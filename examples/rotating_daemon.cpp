// SPDX-License-Identifier: MIT
// A daemon-shaped program that cooperates with log rotation: worker threads
// log while one thread waits for signals. SIGHUP reopens the log file by its
// name, SIGTERM and SIGINT end the program. rotating_daemon.logrotate is the
// logrotate configuration that goes with it: logrotate renames the file,
// creates a new one and sends SIGHUP, and records go on in the new file.
//
// usage: rotating_daemon LOGFILE [PIDFILE]
//
// The signals are taken by sigwait() in a thread of their own, never in a
// signal handler. Reopening takes the Logger's locks and allocates; neither
// is allowed in a handler, which may interrupt a thread that holds those very
// locks and would then wait for itself for ever.
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <spdlog/spdlog.h>

#include <tarn/utils/log/logger.hpp>

int main(int argc, char** argv) {
    if (argc < 2 || argc > 3) {
        std::fprintf(stderr, "usage: %s LOGFILE [PIDFILE]\n", argv[0]);
        return 2;
    }
    // Blocked before any thread starts, so every thread inherits the mask
    // and only sigwait() below ever takes these signals.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGHUP);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    tarn::utils::log::Logger logger("daemon");
    logger.SetConsoleSinkLevel(spdlog::level::warn);
    logger.SetLogDestination(argv[1]);
    if (logger.LogDestination().empty()) return 1;  // the reason is on stderr
    if (argc == 3) std::ofstream(argv[2]) << getpid() << '\n';

    std::atomic<bool> stopping{false};
    std::atomic<long> handled{0};
    std::vector<std::thread> workers;
    for (int worker = 0; worker < 2; ++worker) {
        workers.emplace_back([&, worker] {
            auto log = logger.RawLoggerPtr();
            while (!stopping.load()) {
                SPDLOG_LOGGER_INFO(log, "worker {} handled request {}\n", worker, ++handled);
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
        });
    }

    SPDLOG_LOGGER_INFO(&logger.RawLogger(), "started, pid {}\n", getpid());
    for (int signal = 0; sigwait(&signals, &signal) == 0;) {
        if (signal != SIGHUP) break;
        // Appends to a file of that name: a SIGHUP without a rotation loses
        // nothing. Should the name not open, records stay in the current file.
        logger.ReopenLogDestination();
        SPDLOG_LOGGER_INFO(&logger.RawLogger(), "log file reopened on SIGHUP\n");
    }
    stopping = true;
    for (std::thread& worker : workers) worker.join();
    SPDLOG_LOGGER_INFO(&logger.RawLogger(), "stopped after {} requests\n", handled.load());
    return 0;
}
