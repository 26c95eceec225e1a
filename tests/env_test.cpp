// SPDX-License-Identifier: MIT
#include <dlfcn.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <tarn/utils/env.hpp>

#include "support/env_guard.hpp"

// glibc's setenv() leaves errno alone when it succeeds, but nothing promises
// that. This one stands in for it in this program and, when a test asks,
// clobbers errno on success, so the test sees whether the errno of an
// earlier failure survives the calls that follow it.
namespace {
bool successClobbersErrno = false;
}

extern "C" int setenv(const char* name, const char* value, int replace) noexcept {
    using Setenv = int (*)(const char*, const char*, int);
    static const auto next = reinterpret_cast<Setenv>(::dlsym(RTLD_NEXT, "setenv"));
    const int result = next(name, value, replace);
    if (result == 0 && successClobbersErrno) errno = ENOENT;
    return result;
}

namespace {

namespace tu = tarn::utils;
using namespace std::string_literals;

// Every test may change the environment; the guard puts it back.
class ProcessEnv : public ::testing::Test {
protected:
    // Installs a hand-made environment block, as a process may have been
    // started with: duplicates, entries without '=' and so on.
    void installBlock(std::vector<std::string> entries) {
        blockText_ = std::move(entries);
        block_.clear();
        for (std::string& entry : blockText_) block_.push_back(entry.data());
        block_.push_back(nullptr);
        environ = block_.data();
    }

    static bool isSet(const char* name) { return ::getenv(name) != nullptr; }

    // The block's entries as they are, in order.
    static std::vector<std::string> entries() {
        std::vector<std::string> found;
        for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) found.emplace_back(*entry);
        return found;
    }

private:
    tu::test::EnvGuard guard_;
    std::vector<std::string> blockText_;
    std::vector<char*> block_;
};

TEST_F(ProcessEnv, ReadsOneVariableWithAChoiceAboutEmptyValues) {
    ::setenv("TARN_SET", "v=1", 1);
    ::setenv("TARN_EMPTY", "", 1);
    ::unsetenv("TARN_UNSET");

    struct Row {
        std::string name;
        bool acceptEmpty;
        bool found;
        std::string value;  // what the value argument holds afterwards
    };
    const Row rows[] = {
        {"TARN_SET", false, true, "v=1"},
        {"TARN_SET", true, true, "v=1"},
        {"TARN_EMPTY", false, false, "untouched"},
        {"TARN_EMPTY", true, true, ""},
        {"TARN_UNSET", false, false, "untouched"},
        {"TARN_UNSET", true, false, "untouched"},
        // The platform would see only "TARN_SET" here.
        {"TARN_SET\0x"s, true, false, "untouched"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name + (row.acceptEmpty ? " accepting empty" : ""));
        std::string value = "untouched";
        EXPECT_EQ(tu::env(row.name, value, row.acceptEmpty), row.found);
        EXPECT_EQ(value, row.value);
    }
}

TEST_F(ProcessEnv, SetenvSetsAndReplaces) {
    ASSERT_TRUE(tu::setenv("TARN_A", "first"));
    ASSERT_TRUE(tu::setenv("TARN_A", "second=2"));
    EXPECT_STREQ(::getenv("TARN_A"), "second=2");
    ASSERT_TRUE(tu::setenv("TARN_A", ""));
    EXPECT_STREQ(::getenv("TARN_A"), "");
}

TEST_F(ProcessEnv, RefusedInputChangesNothingAndSetsErrno) {
    ::setenv("TARN_KEEP", "kept", 1);
    const tu::EnvMap before = tu::env();

    struct Row {
        const char* what;
        bool (*call)();
    };
    const Row rows[] = {
        {"setenv empty name", [] { return tu::setenv("", "x"); }},
        {"setenv name with '='", [] { return tu::setenv("TARN_KEEP=y", "x"); }},
        {"setenv NUL in name", [] { return tu::setenv("TARN_KEEP\0y"s, "x"); }},
        {"setenv NUL in value", [] { return tu::setenv("TARN_KEEP", "/a\0b"s); }},
        {"unsetenv empty name", [] { return tu::unsetenv(""); }},
        {"unsetenv name with '='", [] { return tu::unsetenv("TARN_KEEP=kept"); }},
        {"unsetenv NUL in name", [] { return tu::unsetenv("TARN_KEEP\0y"s); }},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        errno = 0;
        EXPECT_FALSE(row.call());
        EXPECT_EQ(errno, EINVAL);
        EXPECT_EQ(tu::env(), before);
    }
}

TEST_F(ProcessEnv, UnsetenvRemovesAndAcceptsMissingNames) {
    ::setenv("TARN_GONE", "x", 1);
    EXPECT_TRUE(tu::unsetenv("TARN_GONE"));
    EXPECT_FALSE(isSet("TARN_GONE"));
    EXPECT_TRUE(tu::unsetenv("TARN_GONE"));
}

TEST_F(ProcessEnv, SetenvManyAppliesAllItCanAndReportsAnyFailure) {
    const tu::EnvMap before = tu::env();
    EXPECT_TRUE(tu::setenv(tu::EnvMap{}));
    EXPECT_EQ(tu::env(), before);

    EXPECT_TRUE(tu::setenv(tu::EnvMap{{"TARN_M1", "1"}, {"TARN_M2", ""}}));
    EXPECT_STREQ(::getenv("TARN_M1"), "1");
    EXPECT_STREQ(::getenv("TARN_M2"), "");

    // Whatever the map's order, every good pair lands and errno names the
    // failure even when a success came after it and changed errno.
    errno = 0;
    successClobbersErrno = true;
    const bool allSet = tu::setenv(tu::EnvMap{
        {"TARN_G1", "a"}, {"BAD=NAME", "x"}, {"TARN_G2", "b"}, {"TARN_G3", "c"}, {"TARN_G4", "d"}});
    const int error = errno;
    successClobbersErrno = false;
    EXPECT_FALSE(allSet);
    EXPECT_EQ(error, EINVAL);
    for (const char* name : {"TARN_G1", "TARN_G2", "TARN_G3", "TARN_G4"}) EXPECT_TRUE(isSet(name)) << name;
}

// A process may be started with a name twice in its block (execve allows
// it). Setting the name leaves one entry: a stale one would reach child
// processes, and a shell keeps the last duplicate, not the first.
TEST_F(ProcessEnv, SettingADuplicatedNameLeavesOneEntry) {
    const std::vector<std::string> block{"A=1", "B=x", "A=2", "C=3", "A=3"};
    struct Row {
        const char* what;
        bool (*set)();
        bool result;
        std::vector<std::string> after;
    };
    const Row rows[] = {
        {"setenv", [] { return tu::setenv("A", "new"); }, true, {"A=new", "B=x", "C=3"}},
        {"setenv(map)", [] { return tu::setenv(tu::EnvMap{{"A", "new"}}); }, true, {"A=new", "B=x", "C=3"}},
        {"a refused value changes nothing", [] { return tu::setenv("A", "new\0x"s); }, false, block},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        installBlock(block);
        EXPECT_EQ(row.set(), row.result);
        EXPECT_EQ(entries(), row.after);
    }

    installBlock(block);
    ASSERT_TRUE(tu::setenv("A", "new"));
    std::string seen;
    if (FILE* shell = ::popen("printf %s \"$A\"", "r")) {
        for (int byte; (byte = std::fgetc(shell)) != EOF;) seen += static_cast<char>(byte);
        ::pclose(shell);
    }
    EXPECT_EQ(seen, "new") << "what a shell child sees";
}

TEST_F(ProcessEnv, SnapshotOfAnOddBlock) {
    installBlock({"B=2", "A=1", "NOEQUALS", "A=shadowed", "=lead", "C=x=y", ""});
    EXPECT_EQ(tu::env(), (tu::EnvMap{{"A", "1"}, {"B", "2"}, {"", "lead"}, {"C", "x=y"}}));
    EXPECT_EQ(tu::printenv(), "=lead\nA=1\nB=2\nC=x=y\n");

    environ = nullptr;
    EXPECT_TRUE(tu::env().empty());
    EXPECT_EQ(tu::printenv(), "");
    EXPECT_TRUE(tu::clearenv());
}

TEST_F(ProcessEnv, PrintenvIsSortedByBytesWithALineFeedAfterEveryEntry) {
    installBlock({"b=2", "\xc3\xa9=3", "B=1", "a="});
    EXPECT_EQ(tu::printenv(), "B=1\na=\nb=2\n\xc3\xa9=3\n");
}

// printenv() reads the block itself rather than going through a snapshot;
// on blocks full of repeated names, prefixes, entries without '=' and high
// bytes it must print exactly the sorted snapshot.
TEST_F(ProcessEnv, PrintenvPrintsExactlyTheSortedSnapshot) {
    std::mt19937 random(20261209);
    auto pick = [&random](const std::string& bytes, std::size_t maxLength) {
        std::string text(random() % (maxLength + 1), '\0');
        for (char& byte : text) byte = bytes[random() % bytes.size()];
        return text;
    };
    for (int round = 0; round < 200; ++round) {
        std::vector<std::string> block;
        const auto count = random() % 40;
        for (unsigned i = 0; i < count; ++i)
            block.push_back(pick("Aa_1\xc3", 2) + (random() % 5 ? "=" : "") + pick("=x\xa9", 3));

        installBlock(block);
        std::string expected;
        for (const std::string& entry : tu::envMapToStrings(tu::env())) expected += entry + '\n';
        ASSERT_EQ(tu::printenv(), expected) << ::testing::PrintToString(block);
    }
}

TEST_F(ProcessEnv, ClearenvEmptiesTheEnvironment) {
    ::setenv("TARN_C1", "1", 1);
    ASSERT_TRUE(tu::clearenv());
    EXPECT_TRUE(tu::env().empty());
    EXPECT_EQ(tu::printenv(), "");
    EXPECT_EQ(environ == nullptr || environ[0] == nullptr, true);
}

TEST_F(ProcessEnv, ClearenvGoesOnAfterARefusedName) {
    installBlock({"A=1", "=lead", "NOEQUALS", "B=2", "A=dup"});
    errno = 0;
    EXPECT_FALSE(tu::clearenv());  // the empty name cannot be removed
    EXPECT_EQ(errno, EINVAL);
    EXPECT_FALSE(isSet("A"));
    EXPECT_FALSE(isSet("B"));
    // What remains is what the platform would not or need not remove.
    EXPECT_EQ(tu::env(), (tu::EnvMap{{"", "lead"}}));
    EXPECT_EQ(entries(), (std::vector<std::string>{"=lead", "NOEQUALS"}));
}

}  // namespace
