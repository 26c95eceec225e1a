// SPDX-License-Identifier: MIT
// Several threads log through one Logger, half of them through a
// RawLoggerPtr() copy, while another thread switches the log file, reopens
// the one attached (by its name, a hard link or a symbolic link), turns it
// off, fails to open one, and changes the console threshold; or while
// several threads reconfigure it at once. Afterwards every record must be
// found whole, never twice, and in a file that was attached while it was
// being logged.
#include <algorithm>
#include <atomic>
#include <cctype>
#include <charconv>
#include <chrono>
#include <cstddef>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>
#include <spdlog/spdlog.h>

#include <tarn/utils/log/logger.hpp>

#include "support/console_capture.hpp"
#include "support/temp_dir.hpp"

namespace {

namespace lg = tarn::utils::log;
namespace tt = tarn::utils::test;
using Level = spdlog::level::level_enum;

constexpr int kThreads = 4;
constexpr int kMinRecords = 1500;   // per thread
constexpr int kMaxRecords = 200000;  // per thread, should the switcher be stuck
constexpr int kMinSwitches = 60;
constexpr const char* kDiagnostic = "Error creating log file: ";

Level levelOf(int thread, int index) {
    return static_cast<Level>((thread + index) % 6);  // trace .. critical
}

// Of varying length, so that a torn or merged record cannot look whole.
std::string messageOf(int thread, int index) {
    return "t" + std::to_string(thread) + " n" + std::to_string(index) + " " +
           std::string(static_cast<std::size_t>(8 + (index * 7 + thread) % 57), static_cast<char>('a' + thread));
}

struct RecordId {
    int thread;
    int index;
};

// The record a whole line holds, or nothing when the line is not exactly one
// record in the fixed format: "(YYYY-MM-DD HH:MM:SS.mmm) [level] [:] message".
std::optional<RecordId> parseRecord(const std::string& line) {
    const std::string stampShape = "(dddd-dd-dd dd:dd:dd.ddd) [";
    if (line.size() < stampShape.size()) return std::nullopt;
    for (std::size_t i = 0; i < stampShape.size(); ++i) {
        const bool ok = stampShape[i] == 'd' ? std::isdigit(static_cast<unsigned char>(line[i])) != 0
                                             : line[i] == stampShape[i];
        if (!ok) return std::nullopt;
    }
    const auto at = line.find("] [:] t", stampShape.size());
    if (at == std::string::npos) return std::nullopt;
    RecordId id{};
    const char* end = line.data() + line.size();
    const char* next = line.data() + at + 7;
    auto parsed = std::from_chars(next, end, id.thread);
    if (parsed.ec != std::errc() || parsed.ptr + 2 > end || parsed.ptr[0] != ' ' || parsed.ptr[1] != 'n')
        return std::nullopt;
    parsed = std::from_chars(parsed.ptr + 2, end, id.index);
    if (parsed.ec != std::errc() || id.thread < 0 || id.thread >= kThreads || id.index < 0 ||
        id.index >= kMaxRecords)
        return std::nullopt;

    const auto level = spdlog::level::to_string_view(levelOf(id.thread, id.index));
    const std::string expected = "[" + std::string(level.data(), level.size()) + "] [:] " +
                                 messageOf(id.thread, id.index);
    if (line.compare(stampShape.size() - 1, std::string::npos, expected) != 0) return std::nullopt;
    return id;
}

std::vector<std::string> linesOf(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

TEST(LoggerStress, RecordsLandOnceAndWholeInAFileAttachedWhileTheyWereLogged) {
    tt::TempDir dir;
    tt::writeFile(dir.file("plain"), "a regular file, so nothing can be created below it");

    auto logger = std::make_unique<lg::Logger>("stress");
    std::shared_ptr<spdlog::logger> copy = logger->RawLoggerPtr();

    // A seqlock over the file states: even `epoch` means state epoch/2 is in
    // force, odd means a switch is under way. A record whose logging call
    // began at epoch a and ended at epoch b went to the file of one of the
    // states a/2 .. (b+1)/2, and to that state's file alone when a == b is
    // even. files[k] is the name state k opened, "" when file output was
    // off; inodes[k] the file it names, -1 when off. Opening a file again,
    // under any name, empties it: only the last state on each file keeps
    // its records.
    std::atomic<unsigned> epoch{0};
    std::vector<std::string> files{dir.file("0.log")};
    std::vector<int> inodes{0};
    std::vector<std::string> inodePaths{files[0]};
    logger->SetLogDestination(files[0]);

    std::vector<std::vector<std::pair<unsigned, unsigned>>> windows(kThreads);
    std::atomic<int> switches{0};
    std::atomic<int> loggersDone{0};
    int failedOpens = 0;

    const tt::ConsoleText console = tt::captureConsole([&] {
        std::vector<std::thread> threads;
        for (int thread = 0; thread < kThreads; ++thread) {
            threads.emplace_back([&, thread] {
                auto& window = windows[static_cast<std::size_t>(thread)];
                for (int index = 0; index < kMaxRecords; ++index) {
                    if (index >= kMinRecords) {
                        if (switches.load() >= kMinSwitches) break;
                        // Leave the switcher room on a busy machine.
                        std::this_thread::sleep_for(std::chrono::microseconds(20));
                    }
                    const unsigned began = epoch.load();
                    const Level level = levelOf(thread, index);
                    if (thread % 2 == 0) {
                        logger->RawLogger().log(level, "{}\n", messageOf(thread, index));
                    } else {
                        copy->log(level, "{}\n", messageOf(thread, index));
                    }
                    window.emplace_back(began, epoch.load());
                }
                ++loggersDone;
            });
        }

        const Level thresholds[] = {spdlog::level::trace, spdlog::level::warn, spdlog::level::off,
                                    spdlog::level::err,   spdlog::level::info, spdlog::level::critical};
        for (int round = 0; loggersDone.load() < kThreads; ++round) {
            logger->SetConsoleSinkLevel(thresholds[round % 6]);
            const std::string name = std::to_string(files.size()) + ".log";
            const std::string current = files.back();
            std::string next = dir.file(name);
            int inode = static_cast<int>(inodePaths.size());
            // After file output went off there is nothing to reopen.
            const int kind = current.empty() ? 0 : round % 12;
            switch (kind) {
            case 2: next = current; inode = inodes.back(); break;  // the same name
            case 3:                                                  // a hard link
                std::filesystem::create_hard_link(current, next);
                inode = inodes.back();
                break;
            case 4:                                                  // a symbolic link
                std::filesystem::create_symlink(current, next);
                inode = inodes.back();
                break;
            case 5: next = "", inode = -1; break;                    // off
            case 6: next = dir.file("plain/" + name), inode = -1; break;  // cannot be created
            default: break;                                          // a new file
            }
            if (inode == static_cast<int>(inodePaths.size())) inodePaths.push_back(next);
            epoch.fetch_add(1);
            logger->SetLogDestination(next);
            const bool opened = !next.empty() && kind != 6;
            failedOpens += kind == 6 ? 1 : 0;
            files.push_back(opened ? next : "");
            inodes.push_back(opened ? inode : -1);
            epoch.fetch_add(1);
            ++switches;
            std::this_thread::sleep_for(std::chrono::microseconds(100));
        }
        for (std::thread& thread : threads) thread.join();
        // Every file sink is closed, so all that was logged is on disk.
        copy.reset();
        logger.reset();
    });

    // The state whose records each file keeps: the last one on it.
    std::vector<std::size_t> keptState(inodePaths.size());
    for (std::size_t state = 0; state < files.size(); ++state)
        if (inodes[state] >= 0) keptState[static_cast<std::size_t>(inodes[state])] = state;
    // Where each record was found: state numbers of files.
    std::vector<std::vector<std::vector<std::size_t>>> foundIn(kThreads);
    for (int thread = 0; thread < kThreads; ++thread)
        foundIn[static_cast<std::size_t>(thread)].resize(windows[static_cast<std::size_t>(thread)].size());
    std::size_t torn = 0;
    std::size_t filesWithRecords = 0;
    for (std::size_t inode = 0; inode < inodePaths.size(); ++inode) {
        const std::vector<std::string> lines = linesOf(tt::readFile(inodePaths[inode]));
        filesWithRecords += lines.empty() ? 0 : 1;
        for (const std::string& line : lines) {
            const auto id = parseRecord(line);
            const bool logged = id && static_cast<std::size_t>(id->index) < foundIn[static_cast<std::size_t>(id->thread)].size();
            if (!logged) {
                if (++torn <= 5) ADD_FAILURE() << "not one whole record, in " << inodePaths[inode] << ": " << line;
                continue;
            }
            foundIn[static_cast<std::size_t>(id->thread)][static_cast<std::size_t>(id->index)].push_back(keptState[inode]);
        }
    }
    EXPECT_EQ(torn, 0u);

    std::size_t twice = 0, missing = 0, misplaced = 0, records = 0;
    for (std::size_t thread = 0; thread < kThreads; ++thread) {
        for (std::size_t index = 0; index < windows[thread].size(); ++index) {
            ++records;
            const auto [began, ended] = windows[thread][index];
            const std::size_t first = began / 2, last = (ended + 1) / 2;
            const auto& found = foundIn[thread][index];
            // Whichever state's file the record went to, that file keeps it.
            bool alwaysKept = true;
            for (std::size_t state = first; state <= last; ++state)
                alwaysKept &= inodes[state] >= 0 && keptState[static_cast<std::size_t>(inodes[state])] == state;

            if (found.size() > 1) ++twice;
            if (found.empty() && alwaysKept) ++missing;
            if (!found.empty() && (found[0] < first || found[0] > last)) ++misplaced;
        }
    }
    EXPECT_EQ(twice, 0u) << "of " << records << " records";
    EXPECT_EQ(missing, 0u) << "of " << records << " records";
    EXPECT_EQ(misplaced, 0u) << "of " << records << " records";
    EXPECT_GE(switches.load(), kMinSwitches);
    EXPECT_GE(filesWithRecords, 2u);

    // The console: whatever the threshold let through, on the stream of its
    // level, whole and at most once; plus one whole diagnostic per failed open.
    std::size_t diagnostics = 0;
    for (const auto& [stream, text] : {std::pair{"stdout", &console.out}, std::pair{"stderr", &console.err}}) {
        const bool isErr = std::string(stream) == "stderr";
        std::vector<std::vector<bool>> seen(kThreads, std::vector<bool>(kMaxRecords));
        std::size_t bad = 0;
        for (const std::string& line : linesOf(*text)) {
            if (isErr && line.rfind(kDiagnostic, 0) == 0 && line.find("[:]") == std::string::npos) {
                ++diagnostics;
                continue;
            }
            const auto id = parseRecord(line);
            const bool ok = id && (levelOf(id->thread, id->index) >= spdlog::level::warn) == isErr &&
                            !seen[static_cast<std::size_t>(id->thread)][static_cast<std::size_t>(id->index)];
            if (!ok) {
                if (++bad <= 5) ADD_FAILURE() << "on " << stream << ": " << line;
                continue;
            }
            seen[static_cast<std::size_t>(id->thread)][static_cast<std::size_t>(id->index)] = true;
        }
        EXPECT_EQ(bad, 0u) << stream;
    }
    EXPECT_EQ(diagnostics, static_cast<std::size_t>(failedOpens));
}

// Several threads reconfigure one Logger at once, each switching to files
// of its own, reading the name back and changing the console's threshold,
// while others log. Whatever order the calls take, the file is never off,
// so every record is in exactly one file, whole, and every file is closed
// once file output is turned off.
TEST(LoggerStress, ConcurrentConfigurationKeepsEveryRecordOnceAndWhole) {
    constexpr int kConfigurers = 3;
    constexpr int kSwitchesEach = 40;
    tt::TempDir dir;
    auto logger = std::make_unique<lg::Logger>("configured");
    std::vector<std::string> files{dir.file("first.log")};
    logger->SetLogDestination(files[0]);
    for (int thread = 0; thread < kConfigurers; ++thread)
        for (int i = 0; i < kSwitchesEach; ++i)
            files.push_back(dir.file("c" + std::to_string(thread) + "-" + std::to_string(i) + ".log"));

    std::vector<int> logged(kThreads);
    std::atomic<int> configurersDone{0};
    std::atomic<int> strayNames{0};
    const tt::ConsoleText console = tt::captureConsole([&] {
        std::vector<std::thread> threads;
        for (int thread = 0; thread < kThreads; ++thread) {
            threads.emplace_back([&, thread] {
                int index = 0;
                for (; index < kMaxRecords; ++index) {
                    if (index >= kMinRecords && configurersDone.load() == kConfigurers) break;
                    logger->RawLogger().log(levelOf(thread, index), "{}\n", messageOf(thread, index));
                }
                logged[static_cast<std::size_t>(thread)] = index;
            });
        }
        std::vector<std::thread> configurers;
        for (int thread = 0; thread < kConfigurers; ++thread) {
            configurers.emplace_back([&, thread] {
                const Level thresholds[] = {spdlog::level::off, spdlog::level::critical, spdlog::level::err};
                for (int i = 0; i < kSwitchesEach; ++i) {
                    logger->SetLogDestination(files[static_cast<std::size_t>(1 + thread * kSwitchesEach + i)]);
                    const std::string name = logger->LogDestination();
                    strayNames += std::find(files.begin(), files.end(), name) == files.end();
                    logger->SetConsoleSinkLevel(thresholds[(i + thread) % 3]);
                    // Appends to whichever file is attached by then, or
                    // yields to a switch that overtakes it.
                    if (i % 2 == 0) logger->ReopenLogDestination();
                    std::this_thread::sleep_for(std::chrono::microseconds(200));
                }
                ++configurersDone;
            });
        }
        for (std::thread& thread : configurers) thread.join();
        for (std::thread& thread : threads) thread.join();
        logger->SetLogDestination("");
    });
    std::size_t leftOpen = 0;
    for (const std::string& file : files) leftOpen += tt::descriptorsOpenOn(file);
    logger.reset();

    std::vector<std::vector<int>> seen(kThreads);
    for (int thread = 0; thread < kThreads; ++thread) seen[static_cast<std::size_t>(thread)].resize(kMaxRecords);
    std::size_t torn = 0;
    for (const std::string& file : files) {
        for (const std::string& line : linesOf(tt::readFile(file))) {
            const auto id = parseRecord(line);
            if (!id || id->index >= logged[static_cast<std::size_t>(id->thread)]) {
                if (++torn <= 5) ADD_FAILURE() << "not one whole record, in " << file << ": " << line;
                continue;
            }
            ++seen[static_cast<std::size_t>(id->thread)][static_cast<std::size_t>(id->index)];
        }
    }
    std::size_t twice = 0, missing = 0;
    for (int thread = 0; thread < kThreads; ++thread) {
        for (int index = 0; index < logged[static_cast<std::size_t>(thread)]; ++index) {
            const int found = seen[static_cast<std::size_t>(thread)][static_cast<std::size_t>(index)];
            twice += found > 1;
            missing += found == 0;
        }
    }
    EXPECT_EQ(torn, 0u);
    EXPECT_EQ(twice, 0u);
    EXPECT_EQ(missing, 0u);
    EXPECT_EQ(strayNames.load(), 0) << "LogDestination() gave a name never set";
    EXPECT_EQ(leftOpen, 0u) << "descriptors still open on the files after file output was turned off";
    // The console saw only whole records of levels some threshold let through.
    std::size_t badConsole = 0;
    for (const std::string* text : {&console.out, &console.err})
        for (const std::string& line : linesOf(*text)) badConsole += !parseRecord(line);
    EXPECT_EQ(badConsole, 0u);
}

}  // namespace
