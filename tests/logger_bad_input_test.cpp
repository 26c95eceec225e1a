// SPDX-License-Identifier: MIT
// Input a caller can get wrong, each with the result it gets: log file names
// that cannot be opened, and console thresholds outside the enum. A failed
// name reports once, loses no record (the previous file keeps what it had,
// the console goes on) and leaves whatever is at the path as it was.
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <system_error>

#include <gtest/gtest.h>
#include <spdlog/spdlog.h>

#include <tarn/utils/log/logger.hpp>

#include "support/console_capture.hpp"
#include "support/temp_dir.hpp"

namespace {

namespace lg = tarn::utils::log;
namespace tt = tarn::utils::test;
using namespace std::string_literals;
using Level = spdlog::level::level_enum;

constexpr const char* kDiagnostic = "Error creating log file: ";

std::size_t count(const std::string& text, const std::string& part) {
    std::size_t found = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size())) ++found;
    return found;
}

// What is at a path: its kind, permissions and, for a file, its content.
std::string describe(const std::string& path) {
    struct stat info{};
    if (::lstat(path.c_str(), &info) != 0) return "absent";
    std::ostringstream text;
    text << std::oct << info.st_mode;
    if (S_ISREG(info.st_mode)) text << " holding " << tt::readFile(path);
    return text.str();
}

enum class Destination { Previous, Named };

// What happened, in terms a child process can hand back as one line.
struct Outcome {
    int diagnostics = 0;  // lines "Error creating log file: <reason>" on stderr
    bool previousKept = false;  // the previous file has its record and no later one
    bool recordInNamed = false;  // the next record reached the named file
    bool recordOnConsole = false;  // and, being an error, standard error
    bool watchedUnchanged = false;  // what was at the watched path still is
    int strayLines = 0;  // lines on stderr that are neither of the above
    Destination destination = Destination::Previous;

    std::string serialise() const {
        std::ostringstream text;
        text << diagnostics << ' ' << previousKept << ' ' << recordInNamed << ' ' << recordOnConsole << ' '
             << watchedUnchanged << ' ' << strayLines << ' ' << static_cast<int>(destination);
        return text.str();
    }
    static Outcome parse(const std::string& line) {
        Outcome outcome;
        int destination = 0;
        std::istringstream(line) >> outcome.diagnostics >> outcome.previousKept >> outcome.recordInNamed >>
            outcome.recordOnConsole >> outcome.watchedUnchanged >> outcome.strayLines >> destination;
        outcome.destination = static_cast<Destination>(destination);
        return outcome;
    }
};

struct Target {
    std::string name;   // given to SetLogDestination
    std::string watch;  // a path that must not change when the name fails
};

// Writes a record to a first file, then names `target` and writes another.
Outcome tryName(const std::function<Target(const tt::TempDir&)>& prepare) {
    tt::TempDir dir;
    lg::Logger logger("bad-input");
    const std::string previous = dir.file("previous.log");
    tt::captureConsole([&] {
        logger.SetLogDestination(previous);
        logger.RawLogger().error("before\n");
    });

    const Target target = prepare(dir);
    const std::string watchedBefore = describe(target.watch);
    const tt::ConsoleText console = tt::captureConsole([&] {
        logger.SetLogDestination(target.name);
        logger.RawLogger().error("after\n");
    });

    Outcome outcome;
    std::istringstream err(console.err);
    for (std::string line; std::getline(err, line);) {
        const bool diagnostic = line.rfind(kDiagnostic, 0) == 0 && line.size() > std::string(kDiagnostic).size();
        outcome.diagnostics += diagnostic;
        outcome.strayLines += !diagnostic && line.find("[error] [:] after") == std::string::npos;
    }
    const std::string inPrevious = tt::readFile(previous);
    outcome.previousKept = count(inPrevious, "before\n") == 1 && count(inPrevious, "after\n") == 0;
    std::error_code ignored;
    outcome.recordInNamed = std::filesystem::is_regular_file(target.name, ignored) &&
                            count(tt::readFile(target.name), "after\n") == 1;
    outcome.recordOnConsole = count(console.err, "[error] [:] after\n") == 1;
    outcome.watchedUnchanged = describe(target.watch) == watchedBefore;
    outcome.destination = logger.LogDestination() == previous ? Destination::Previous : Destination::Named;
    return outcome;
}

// Runs `scenario` in a child process that has no power to ignore
// permissions: as the user nobody when the tests run as root, as CI does.
// Returns nothing, and says why, when that cannot be arranged.
std::optional<Outcome> inUnprivilegedChild(const std::function<Outcome()>& scenario, std::string& whyNot) {
    int ends[2];
    if (::pipe(ends) != 0) throw std::system_error(errno, std::generic_category(), "pipe");
    std::fflush(nullptr);
    const pid_t child = ::fork();
    if (child < 0) throw std::system_error(errno, std::generic_category(), "fork");
    if (child == 0) {
        ::close(ends[0]);
        if (::geteuid() == 0) {
            const passwd* nobody = ::getpwnam("nobody");
            if (nobody == nullptr || ::setgroups(0, nullptr) != 0 || ::setgid(nobody->pw_gid) != 0 ||
                ::setuid(nobody->pw_uid) != 0)
                ::_exit(77);
        }
        try {
            const std::string report = scenario().serialise();
            if (::write(ends[1], report.data(), report.size()) != static_cast<ssize_t>(report.size())) ::_exit(1);
        } catch (...) {
            ::_exit(1);
        }
        ::_exit(0);
    }
    ::close(ends[1]);
    std::string report;
    char buffer[256];
    for (ssize_t got; (got = ::read(ends[0], buffer, sizeof buffer)) > 0;) report.append(buffer, static_cast<std::size_t>(got));
    ::close(ends[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    if (WIFEXITED(status) && WEXITSTATUS(status) == 77) {
        whyNot = "running as root and cannot become the user nobody";
        return std::nullopt;
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        whyNot = "the child process failed";
        ADD_FAILURE() << whyNot << " (status " << status << ")";
        return std::nullopt;
    }
    return Outcome::parse(report);
}

TEST(LoggerBadInput, NamesThatCannotBeOpenedReportOnceAndLoseNothing) {
    enum class Expect { Opens, Fails, TurnsOff };
    struct Row {
        const char* input;
        std::function<Target(const tt::TempDir&)> prepare;
        Expect expect;
        bool unprivileged;  // needs a user that permissions apply to
    };
    const Row rows[] = {
        {"parent is a regular file",
         [](const tt::TempDir& dir) {
             tt::writeFile(dir.file("plain"), "not a directory");
             return Target{dir.file("plain/run.log"), dir.file("plain")};
         },
         Expect::Fails, false},
        {"a directory",
         [](const tt::TempDir& dir) {
             std::filesystem::create_directory(dir.file("sub"));
             tt::writeFile(dir.file("sub/inside"), "kept");
             return Target{dir.file("sub"), dir.file("sub/inside")};
         },
         Expect::Fails, false},
        {"a file without write permission",
         [](const tt::TempDir& dir) {
             tt::writeFile(dir.file("read-only.log"), "kept");
             ::chmod(dir.file("read-only.log").c_str(), 0444);
             return Target{dir.file("read-only.log"), dir.file("read-only.log")};
         },
         Expect::Fails, true},
        {"a new file in a directory without write permission",
         [](const tt::TempDir& dir) {
             std::filesystem::create_directory(dir.file("locked"));
             ::chmod(dir.file("locked").c_str(), 0555);
             return Target{dir.file("locked/run.log"), dir.file("locked/run.log")};
         },
         Expect::Fails, true},
        // The file system would see "run.log" and truncate it.
        {"a name holding a NUL byte",
         [](const tt::TempDir& dir) {
             tt::writeFile(dir.file("run.log"), "kept");
             return Target{dir.file("run.log") + "\0.old"s, dir.file("run.log")};
         },
         Expect::Fails, false},
        // The reason names the file: the line stays one line all the same.
        {"a name holding a line feed and other control characters",
         [](const tt::TempDir& dir) {
             tt::writeFile(dir.file("plain"), "not a directory");
             return Target{dir.file("plain/run\n.log\r\x1b[31m\t"), dir.file("plain")};
         },
         Expect::Fails, false},
        // spdlog creates missing parents before it opens: a failed call
        // removes those it created.
        {"new parent directories, a last component too long",
         [](const tt::TempDir& dir) {
             return Target{dir.file("d1/d2/" + std::string(300, 'x')), dir.file("d1")};
         },
         Expect::Fails, false},
        {"twenty new levels of parent directories, a last component too long",
         [](const tt::TempDir& dir) {
             std::string deep;
             for (int level = 0; level < 20; ++level) deep += "n/";
             return Target{dir.file(deep + std::string(300, 'x')), dir.file("n")};
         },
         Expect::Fails, false},
        {"new parent directories below one that exists, a last component too long",
         [](const tt::TempDir& dir) {
             std::filesystem::create_directory(dir.file("kept"));
             tt::writeFile(dir.file("kept/inside"), "kept");
             return Target{dir.file("kept/new/" + std::string(300, 'x')), dir.file("kept/new")};
         },
         Expect::Fails, false},
        {"an empty name",
         [](const tt::TempDir& dir) { return Target{"", dir.file("previous.log")}; },
         Expect::TurnsOff, false},
        {"parent directories that do not exist yet (they are created)",
         [](const tt::TempDir& dir) { return Target{dir.file("new/deeper/run.log"), dir.file("unrelated")}; },
         Expect::Opens, false},
    };

    std::string skipped;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.input);
        std::optional<Outcome> outcome;
        if (row.unprivileged) {
            std::string whyNot;
            outcome = inUnprivilegedChild([&] { return tryName(row.prepare); }, whyNot);
            if (!outcome) {
                skipped += std::string(row.input) + ": " + whyNot + "; ";
                continue;
            }
        } else {
            outcome = tryName(row.prepare);
        }
        EXPECT_TRUE(outcome->previousKept);
        EXPECT_TRUE(outcome->recordOnConsole);
        EXPECT_EQ(outcome->strayLines, 0);
        switch (row.expect) {
        case Expect::Opens:
            EXPECT_EQ(outcome->diagnostics, 0);
            EXPECT_TRUE(outcome->recordInNamed);
            EXPECT_EQ(outcome->destination, Destination::Named);
            break;
        case Expect::Fails:
            EXPECT_EQ(outcome->diagnostics, 1);
            EXPECT_FALSE(outcome->recordInNamed);
            EXPECT_TRUE(outcome->watchedUnchanged);
            EXPECT_EQ(outcome->destination, Destination::Previous);
            break;
        case Expect::TurnsOff:
            EXPECT_EQ(outcome->diagnostics, 0);
            EXPECT_EQ(outcome->destination, Destination::Previous);
            break;
        }
    }
    if (!skipped.empty()) GTEST_SKIP() << "skipped " << skipped;
}

// A threshold above off silences the console like off; one below trace shows
// every level like trace. The file receives every record either way.
TEST(LoggerBadInput, ConsoleThresholdsOutsideTheEnumActAsTheNearestEnd) {
    struct Row {
        const char* threshold;
        Level level;
        bool consoleShowsAll;  // otherwise it shows nothing
    };
    const Row rows[] = {
        {"off", spdlog::level::off, false},
        {"off + 1", static_cast<Level>(spdlog::level::off + 1), false},
        {"INT_MAX", static_cast<Level>(INT_MAX), false},
        {"-1", static_cast<Level>(-1), true},
        {"INT_MIN", static_cast<Level>(INT_MIN), true},
    };
    const Level levels[] = {spdlog::level::trace, spdlog::level::debug, spdlog::level::info,
                            spdlog::level::warn,  spdlog::level::err,   spdlog::level::critical};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.threshold);
        tt::TempDir dir;
        lg::Logger logger("threshold");
        logger.SetLogDestination(dir.file("all.log"));
        logger.SetConsoleSinkLevel(row.level);
        const tt::ConsoleText console = tt::captureConsole([&] {
            for (Level level : levels) logger.RawLogger().log(level, "record\n");
        });
        const std::string inFile = tt::readFile(dir.file("all.log"));
        for (Level level : levels) {
            const auto name = spdlog::level::to_string_view(level);
            const std::string record = "[" + std::string(name.data(), name.size()) + "] [:] record\n";
            const bool toErr = level >= spdlog::level::warn;
            SCOPED_TRACE(record);
            EXPECT_EQ(count(inFile, record), 1u);
            EXPECT_EQ(count(console.out, record), row.consoleShowsAll && !toErr ? 1u : 0u);
            EXPECT_EQ(count(console.err, record), row.consoleShowsAll && toErr ? 1u : 0u);
        }
    }
}

}  // namespace
