// SPDX-License-Identifier: MIT
// Logger against a plain spdlog logger set up by hand for the same output:
// one basic_file_sink_mt, or the two colour console sinks, with the same
// line format, thresholds and flush_on(debug). Both sides log the same
// records through the same call site, into files in one scratch directory.

// Trace records are compiled out of SPDLOG_LOGGER_TRACE unless allowed.
#define SPDLOG_ACTIVE_LEVEL SPDLOG_LEVEL_TRACE

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>

#include <benchmark/benchmark.h>
#include <spdlog/logger.h>
#include <spdlog/pattern_formatter.h>
#include <spdlog/sinks/ansicolor_sink.h>
#include <spdlog/sinks/basic_file_sink.h>
#include <spdlog/spdlog.h>

#include <tarn/utils/log/logger.hpp>

#include "bench_case.hpp"

namespace {

namespace tl = tarn::utils::log;
namespace tb = tarn::utils::bench;
namespace fs = std::filesystem;
using Plain = std::shared_ptr<spdlog::logger>;

fs::path scratch;  // where every log file goes; removed at exit

std::string logFile(const char* name) {
    return (scratch / name).string();
}

// One call site for both sides, so both records carry the same [file:line];
// kept out of line, so neither side gets it compiled differently.
[[gnu::noinline]] void logInfo(spdlog::logger& logger, int i) {
    SPDLOG_LOGGER_INFO(&logger, "request {} served in {} us\n", i, 42);
}

[[gnu::noinline]] void logTrace(spdlog::logger& logger, int i) {
    SPDLOG_LOGGER_TRACE(&logger, "request {} served in {} us\n", i, 42);
}

// ---- the anchors: plain spdlog, configured as Logger configures its backend

std::unique_ptr<spdlog::formatter> lineFormatter() {
    return std::make_unique<spdlog::pattern_formatter>(
        "%^(%Y-%m-%d %T.%e) [%l] [%s:%#] %v%$", spdlog::pattern_time_type::local, std::string());
}

Plain plainLogger(spdlog::sinks_init_list sinks) {
    auto logger = std::make_shared<spdlog::logger>("anchor", sinks);
    logger->set_formatter(lineFormatter());
    logger->set_level(spdlog::level::trace);
    logger->flush_on(spdlog::level::debug);
    return logger;
}

Plain plainFileLogger(const std::string& path) {
    return plainLogger({std::make_shared<spdlog::sinks::basic_file_sink_mt>(path, true)});
}

Plain plainConsoleLogger(spdlog::level::level_enum threshold) {
    auto out = std::make_shared<spdlog::sinks::ansicolor_stdout_sink_mt>();
    auto err = std::make_shared<spdlog::sinks::ansicolor_stderr_sink_mt>();
    out->set_level(threshold);
    err->set_level(threshold);
    return plainLogger({out, err});
}

// ---- the project's side

std::unique_ptr<tl::Logger> fileLogger(const std::string& path) {
    auto logger = std::make_unique<tl::Logger>("project");
    logger->SetLogDestination(path);
    return logger;
}

// ---- the cases

template <typename Log>
void logEach(benchmark::State& state, spdlog::logger& logger, Log log) {
    int i = 0;
    for (auto _ : state) log(logger, ++i);
}

// Four threads share one logger of each side, made before the threads start.
std::unique_ptr<tl::Logger> sharedProject;
Plain sharedAnchor;

void registerCases() {
    auto plain = [](benchmark::internal::Benchmark*) {};

    tb::addCase(
        "log_file_info_flushed",
        [](benchmark::State& state) {
            auto logger = fileLogger(logFile("info-project.log"));
            logEach(state, logger->RawLogger(), logInfo);
        },
        [](benchmark::State& state) {
            auto logger = plainFileLogger(logFile("info-anchor.log"));
            logEach(state, *logger, logInfo);
        },
        plain);
    tb::addCase(
        "log_file_trace",
        [](benchmark::State& state) {
            auto logger = fileLogger(logFile("trace-project.log"));
            logEach(state, logger->RawLogger(), logTrace);
        },
        [](benchmark::State& state) {
            auto logger = plainFileLogger(logFile("trace-anchor.log"));
            logEach(state, *logger, logTrace);
        },
        plain);
    // Registered side by side by hand: each side sets up its own shared logger.
    benchmark::RegisterBenchmark("log_file_info_4threads/project",
                                 [](benchmark::State& state) {
                                     logEach(state, sharedProject->RawLogger(), logInfo);
                                 })
        ->Setup([](const benchmark::State&) {
            sharedProject = fileLogger(logFile("threads-project.log"));
        })
        ->Teardown([](const benchmark::State&) { sharedProject.reset(); })
        ->Threads(4)
        ->UseRealTime();
    benchmark::RegisterBenchmark("log_file_info_4threads/anchor",
                                 [](benchmark::State& state) { logEach(state, *sharedAnchor, logInfo); })
        ->Setup([](const benchmark::State&) {
            sharedAnchor = plainFileLogger(logFile("threads-anchor.log"));
        })
        ->Teardown([](const benchmark::State&) { sharedAnchor.reset(); })
        ->Threads(4)
        ->UseRealTime();
    tb::addCase(
        "log_console_below_threshold",
        [](benchmark::State& state) {
            tl::Logger logger("project");
            logger.SetConsoleSinkLevel(spdlog::level::err);
            logEach(state, logger.RawLogger(), logInfo);
        },
        [](benchmark::State& state) {
            auto logger = plainConsoleLogger(spdlog::level::err);
            logEach(state, *logger, logInfo);
        },
        plain);
}

// ---- both sides must write the same lines

std::string withoutTimestamps(const std::string& path) {
    std::ifstream file(path);
    std::stringstream text;
    text << file.rdbuf();
    std::string lines = text.str(), result;
    // Each record starts with "(YYYY-MM-DD HH:MM:SS.mmm) ", 26 bytes.
    for (std::size_t at = 0; at < lines.size();) {
        std::size_t end = lines.find('\n', at);
        end = end == std::string::npos ? lines.size() : end + 1;
        result += lines.substr(at, end - at).substr(std::min<std::size_t>(26, end - at));
        at = end;
    }
    return result;
}

bool sidesAgree() {
    {
        auto project = fileLogger(logFile("agree-project.log"));
        auto anchor = plainFileLogger(logFile("agree-anchor.log"));
        for (int i = 1; i <= 3; ++i) {
            logInfo(project->RawLogger(), i);
            logInfo(*anchor, i);
            logTrace(project->RawLogger(), i);
            logTrace(*anchor, i);
        }
    }
    const std::string project = withoutTimestamps(logFile("agree-project.log"));
    const std::string anchor = withoutTimestamps(logFile("agree-anchor.log"));
    if (project.empty() || project != anchor) {
        std::fprintf(stderr, "log_bench: project and anchor write different lines:\n%s---\n%s",
                     project.c_str(), anchor.c_str());
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;

    std::string pattern = (fs::temp_directory_path() / "tarn-log-bench-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) {
        std::perror("log_bench: mkdtemp");
        return 1;
    }
    scratch = pattern;

    int status = 1;
    if (sidesAgree()) {
        registerCases();
        benchmark::RunSpecifiedBenchmarks();
        status = 0;
    }
    benchmark::Shutdown();
    std::error_code ignored;
    fs::remove_all(scratch, ignored);
    return status;
}
