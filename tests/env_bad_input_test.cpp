// SPDX-License-Identifier: MIT
// Input a caller can get wrong, each with the result it gets: a clear
// true/false (and errno), and an environment in which nothing was lost or
// half-changed. Refused names and NUL bytes in setenv/unsetenv are covered in
// env_test.cpp; this table holds the rest.
#include <cerrno>
#include <cstdlib>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include <tarn/utils/env.hpp>

#include "support/env_guard.hpp"

namespace {

namespace tu = tarn::utils;
using namespace std::string_literals;

const std::string kMiB(std::size_t{1} << 20, 'v');

// 1 MiB that holds every kind of byte but NUL, '=' and bytes >= 0x80 too.
std::string bigValue() {
    std::string value = kMiB;
    for (std::size_t i = 0; i < value.size(); i += 997) value[i] = static_cast<char>(1 + i % 255);
    return value;
}

// What every row starts from, besides the runner's own environment.
const std::map<std::string, std::string> kSetup = {
    {"TARN_KEEP", "kept"},
    {"TARN_A", "B=x"},  // the entry TARN_A=B=x begins with "TARN_A=B="
    {"TARN_Q", "=y"},   // and TARN_Q==y with "TARN_Q=="
    {"TARN_\xfe", "\x80\x81"},
    {"TARN_BIG", bigValue()},
};

// The expected listing of printenv(): sorted lines, each with a line feed.
std::string listing(const tu::EnvMap& variables) {
    std::string text;
    for (const auto& [name, value] : std::map<std::string, std::string>(variables.begin(), variables.end()))
        text += name + '=' + value + '\n';
    return text;
}

TEST(EnvBadInput, EveryInputGetsAClearResultAndNothingIsLost) {
    using Changes = std::vector<std::pair<std::string, std::optional<std::string>>>;
    struct Row {
        const char* input;
        std::function<bool(std::string& value)> call;  // may write `value`
        bool result;
        int error;  // errno after a refusal; 0 on success
        std::string value;  // what `value` holds afterwards
        Changes changes;  // to the environment; nullopt removes
    };
    const std::string big = bigValue();
    const Row rows[] = {
        {"env: empty name", [](std::string& v) { return tu::env("", v, true); },
         false, 0, "untouched", {}},
        // getenv() would match these against the start of another entry
        // and answer "x" and "y".
        {"env: name holding '='", [](std::string& v) { return tu::env("TARN_A=B", v, true); },
         false, 0, "untouched", {}},
        {"env: name ending in '='", [](std::string& v) { return tu::env("TARN_Q=", v, true); },
         false, 0, "untouched", {}},
        {"env: 1 MiB value", [](std::string& v) { return tu::env("TARN_BIG", v); },
         true, 0, big, {}},
        {"env: non-UTF-8 name and value", [](std::string& v) { return tu::env("TARN_\xfe", v); },
         true, 0, "\x80\x81", {}},

        {"setenv: 1 MiB value", [&](std::string&) { return tu::setenv("TARN_NEW", big); },
         true, 0, "untouched", {{"TARN_NEW", big}}},
        {"setenv: 1 MiB value with a NUL at its end",
         [](std::string&) { return tu::setenv("TARN_KEEP", kMiB + "\0tail"s); },
         false, EINVAL, "untouched", {}},
        {"setenv: non-UTF-8 name and value",
         [](std::string&) { return tu::setenv("TARN_\xff\xc0", "\xc3\x28\xc0\xaf\xed\xa0\x80"); },
         true, 0, "untouched", {{"TARN_\xff\xc0", "\xc3\x28\xc0\xaf\xed\xa0\x80"}}},
        // Stored as given; printenv() does not escape it, so its listing
        // then shows a line that is no variable.
        {"setenv: value holding a line feed",
         [](std::string&) { return tu::setenv("TARN_NL", "1\nTARN_FAKE=2"); },
         true, 0, "untouched", {{"TARN_NL", "1\nTARN_FAKE=2"}}},
        {"setenv many: refused pairs among good ones",
         [](std::string&) {
             return tu::setenv(tu::EnvMap{{"TARN_M1", "1"}, {"TARN_KEEP", "x\0y"s}, {"", "e"},
                                          {"TARN_M2=", "f"}, {"TARN_M3\0"s, "g"}, {"TARN_M4", "4"}});
         },
         false, EINVAL, "untouched", {{"TARN_M1", "1"}, {"TARN_M4", "4"}}},

        {"unsetenv: non-UTF-8 name", [](std::string&) { return tu::unsetenv("TARN_\xfe"); },
         true, 0, "untouched", {{"TARN_\xfe", std::nullopt}}},
        {"unsetenv: 1 MiB name that is not set", [](std::string&) { return tu::unsetenv(kMiB); },
         true, 0, "untouched", {}},
    };

    for (const Row& row : rows) {
        SCOPED_TRACE(row.input);
        tu::test::EnvGuard guard;
        for (const auto& [name, value] : kSetup) ASSERT_EQ(::setenv(name.c_str(), value.c_str(), 1), 0);
        tu::EnvMap expected = tu::env();
        for (const auto& [name, value] : row.changes) {
            if (value) {
                expected[name] = *value;
            } else {
                expected.erase(name);
            }
        }

        std::string value = "untouched";
        errno = 0;
        EXPECT_EQ(row.call(value), row.result);
        if (row.error != 0) EXPECT_EQ(errno, row.error);
        EXPECT_TRUE(value == row.value) << "value of " << value.size() << " bytes";
        EXPECT_TRUE(tu::env() == expected);
        EXPECT_TRUE(tu::printenv() == listing(expected));
    }
}

}  // namespace
