// SPDX-License-Identifier: MIT
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <string>
#include <typeinfo>

#include <gtest/gtest.h>
#include <spdlog/logger.h>
#include <spdlog/pattern_formatter.h>

#include <tarn/utils/log/split_console_sink.hpp>

#include "support/console_capture.hpp"

namespace {

namespace lg = tarn::utils::log;
using tarn::utils::test::captureConsole;
using tarn::utils::test::ConsoleKind;
using tarn::utils::test::ConsoleText;
using tarn::utils::test::terminalAvailable;
using Level = spdlog::level::level_enum;

bool hasEscape(const std::string& text) {
    return text.find('\x1b') != std::string::npos;
}

// A sink with a short, predictable format, held by a logger that lets every
// record through, the way a client would put it together.
class SplitConsoleSinkTest : public ::testing::Test {
protected:
    SplitConsoleSinkTest() {
        sink_->set_pattern("%^%l%$ %v");
        logger_.set_level(spdlog::level::trace);
    }

    std::shared_ptr<lg::SplitConsoleSink> sink_ = std::make_shared<lg::SplitConsoleSink>();
    spdlog::logger logger_{"split", sink_};
};

// A client that assembled its own logger finds the sink again by type, which
// needs the class's type information exported from the library.
TEST_F(SplitConsoleSinkTest, IsFoundAgainAmongALoggersSinks) {
    const spdlog::sinks::sink& attached = *logger_.sinks().at(0);
    EXPECT_EQ(dynamic_cast<const lg::SplitConsoleSink*>(&attached), sink_.get());
    EXPECT_EQ(typeid(attached), typeid(lg::SplitConsoleSink));
}

TEST_F(SplitConsoleSinkTest, SendsEachLevelToItsOwnStreamOnly) {
    struct Row {
        Level level;
        bool toStderr;
    };
    const Row rows[] = {
        {spdlog::level::trace, false}, {spdlog::level::debug, false},
        {spdlog::level::info, false},  {spdlog::level::warn, true},
        {spdlog::level::err, true},    {spdlog::level::critical, true},
        // Not a record level; anything outside warn..critical goes to stdout.
        {spdlog::level::off, false},
    };
    for (const Row& row : rows) {
        const std::string name(spdlog::level::to_string_view(row.level).data());
        SCOPED_TRACE(name);
        const ConsoleText seen = captureConsole([&] {
            sink_->log(spdlog::details::log_msg("split", row.level, "record"));
        });
        const std::string expected = name + " record\n";
        EXPECT_EQ(seen.out, row.toStderr ? "" : expected);
        EXPECT_EQ(seen.err, row.toStderr ? expected : "");
    }
}

TEST_F(SplitConsoleSinkTest, ThresholdIsTestedByWhoeverDeliversTheRecord) {
    sink_->set_level(spdlog::level::err);
    const ConsoleText throughLogger = captureConsole([&] {
        logger_.warn("hidden");
        logger_.error("shown");
    });
    EXPECT_EQ(throughLogger.out, "");
    EXPECT_EQ(throughLogger.err, "error shown\n");

    // log() itself routes whatever it is handed.
    const ConsoleText direct = captureConsole([&] {
        sink_->log(spdlog::details::log_msg("split", spdlog::level::warn, "direct"));
    });
    EXPECT_EQ(direct.err, "warning direct\n");
}

TEST_F(SplitConsoleSinkTest, PatternAndFormatterReachBothStreams) {
    struct Row {
        const char* how;
        void (*apply)(lg::SplitConsoleSink&);
        const char* lineEnd;  // set_pattern keeps spdlog's default line break
    };
    const Row rows[] = {
        {"set_pattern", [](lg::SplitConsoleSink& sink) { sink.set_pattern("<%l|%v>"); }, "\n"},
        {"set_formatter",
         [](lg::SplitConsoleSink& sink) {
             sink.set_formatter(std::make_unique<spdlog::pattern_formatter>(
                 "<%l|%v>", spdlog::pattern_time_type::local, ""));
         },
         ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.how);
        row.apply(*sink_);
        const ConsoleText seen = captureConsole([&] {
            logger_.info("a");
            logger_.warn("b");
        });
        EXPECT_EQ(seen.out, std::string("<info|a>") + row.lineEnd);
        EXPECT_EQ(seen.err, std::string("<warning|b>") + row.lineEnd);
    }
}

TEST_F(SplitConsoleSinkTest, NeverGivesNoColourEvenOnATerminal) {
    if (!terminalAvailable()) GTEST_SKIP() << "no pseudo-terminal can be opened here (/dev/pts)";
    const auto logBoth = [&] {
        logger_.info("to out");
        logger_.error("to err");
    };
    // First show that this terminal does get colour when asked for, so the
    // absence below means something.
    sink_->set_color_mode(spdlog::color_mode::always);
    const ConsoleText coloured = captureConsole(logBoth, ConsoleKind::Terminal);
    EXPECT_TRUE(hasEscape(coloured.out)) << coloured.out;
    EXPECT_TRUE(hasEscape(coloured.err)) << coloured.err;

    sink_->set_color_mode(spdlog::color_mode::never);
    const ConsoleText plain = captureConsole(logBoth, ConsoleKind::Terminal);
    EXPECT_EQ(plain.out, "info to out\n");
    EXPECT_EQ(plain.err, "error to err\n");
}

TEST_F(SplitConsoleSinkTest, AlwaysColoursAPipeWhereAutomaticDoesNot) {
    const auto logBoth = [&] {
        logger_.info("to out");
        logger_.error("to err");
    };
    const ConsoleText automatic = captureConsole(logBoth, ConsoleKind::Pipe);
    EXPECT_EQ(automatic.out, "info to out\n");
    EXPECT_EQ(automatic.err, "error to err\n");

    sink_->set_color_mode(spdlog::color_mode::always);
    const ConsoleText always = captureConsole(logBoth, ConsoleKind::Pipe);
    EXPECT_TRUE(hasEscape(always.out)) << always.out;
    EXPECT_TRUE(hasEscape(always.err)) << always.err;
    EXPECT_NE(always.out.find("info"), std::string::npos);
    EXPECT_NE(always.err.find("error"), std::string::npos);
}

TEST_F(SplitConsoleSinkTest, FlushEmptiesStandardOutputThatGotNoRecord) {
    off_t before = -1;
    off_t after = -1;
    const auto sizeOfStdout = [] {
        struct stat status{};
        ::fstat(STDOUT_FILENO, &status);
        return status.st_size;
    };
    captureConsole([&] {
        std::fputs("pending", stdout);  // no line break: stays in stdio's buffer
        before = sizeOfStdout();
        sink_->flush();
        after = sizeOfStdout();
    });
    EXPECT_EQ(before, 0);
    EXPECT_EQ(after, 7);
}

// Writing and flushing share spdlog's console mutex with every other spdlog
// console sink in the process, the client's own included.
TEST_F(SplitConsoleSinkTest, WritesAndFlushesUnderTheConsoleMutexOfSpdlogsOwnSinks) {
    EXPECT_TRUE(tarn::utils::test::waitsForConsoleMutex([&] { sink_->flush(); })) << "flush";
    EXPECT_TRUE(tarn::utils::test::waitsForConsoleMutex([&] {
        sink_->log(spdlog::details::log_msg("split", spdlog::level::info, "held back"));
    })) << "log";
}

}  // namespace
