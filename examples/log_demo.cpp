// SPDX-License-Identifier: MIT
// A tour of the Logger: each step says where its records should go, then the
// records show up there (console lines on stdout or stderr, file contents
// printed at the end).
//
// Compiles trace and debug macros in, so that they carry file and line too.
#define SPDLOG_ACTIVE_LEVEL SPDLOG_LEVEL_TRACE

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include <spdlog/spdlog.h>

#include <tarn/utils/log/logger.hpp>

namespace {

// Narration goes to stdout and is flushed at once, so it stays in order with
// the records that spdlog writes right after it.
void say(const std::string& text) {
    std::printf("-- %s\n", text.c_str());
    std::fflush(stdout);
}

std::string contents(const std::string& path) {
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace

int main() {
    char dirTemplate[] = "/tmp/tarn-log-demo-XXXXXX";
    if (::mkdtemp(dirTemplate) == nullptr) return 1;
    const std::filesystem::path dir(dirTemplate);
    const std::string first = (dir / "first.log").string();
    const std::string second = (dir / "second.log").string();

    tarn::utils::log::Logger logger("demo");
    spdlog::logger& log = logger.RawLogger();

    say("default console threshold is err: info and warn are dropped, err goes to stderr");
    SPDLOG_LOGGER_INFO(&log, "info: not shown\n");
    SPDLOG_LOGGER_WARN(&log, "warn: not shown\n");
    SPDLOG_LOGGER_ERROR(&log, "err: shown on stderr\n");
    log.error("a plain call carries no file and line: [:]\n");

    say("console threshold lowered to info: info to stdout, warn to stderr");
    logger.SetConsoleSinkLevel(spdlog::level::info);
    SPDLOG_LOGGER_DEBUG(&log, "debug: still below the console threshold\n");
    SPDLOG_LOGGER_INFO(&log, "info: shown on stdout\n");
    SPDLOG_LOGGER_WARN(&log, "warn: shown on stderr\n");
    logger.SetConsoleSinkLevel(spdlog::level::err);

    say("log file " + first + ": every level goes there, console back at err");
    logger.SetLogDestination(first);
    SPDLOG_LOGGER_TRACE(&log, "trace: into first.log\n");
    SPDLOG_LOGGER_DEBUG(&log, "debug: into first.log\n");
    SPDLOG_LOGGER_ERROR(&log, "err: into first.log and onto stderr\n");

    say("switched to " + second);
    logger.SetLogDestination(second);
    SPDLOG_LOGGER_INFO(&log, "info: into second.log only\n");

    say("file output off; LogDestination() still names " + logger.LogDestination());
    logger.SetLogDestination("");
    SPDLOG_LOGGER_INFO(&log, "info: into no file, and not onto the console\n");
    SPDLOG_LOGGER_ERROR(&log, "err: onto stderr only\n");

    say("a name that cannot be created: one diagnostic line on stderr, and on we go");
    logger.SetLogDestination((dir / "first.log" / "under-a-file.log").string());
    say("LogDestination() is still " + logger.LogDestination());

    say("first.log holds:");
    std::fputs(contents(first).c_str(), stdout);
    say("second.log holds:");
    std::fputs(contents(second).c_str(), stdout);

    std::filesystem::remove_all(dir);
    return 0;
}
