// SPDX-License-Identifier: MIT
#include <algorithm>
#include <random>
#include <string>

#include <gtest/gtest.h>

#include <tarn/utils/env.hpp>

namespace {

using tarn::utils::EnvMap;
using tarn::utils::EnvStrings;
using tarn::utils::envMapToStrings;
using tarn::utils::envStringsToMap;
using namespace std::string_literals;

std::string nameOf(const std::string& entry) { return entry.substr(0, entry.find('=')); }

// Independent of std::string's own ordering: bytes as unsigned values.
bool byteLess(const std::string& a, const std::string& b) {
    return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
        return static_cast<unsigned char>(x) < static_cast<unsigned char>(y);
    });
}

TEST(EnvStringsToMap, SplitsAtFirstEqualsAndKeepsFirstOfRepeatedName) {
    struct Row {
        const char* what;
        EnvStrings input;
        EnvMap expected;
    };
    const Row rows[] = {
        {"empty list", {}, {}},
        {"entries without '=' and empty entries are dropped",
         {"A=1", "B", "", "C="}, {{"A", "1"}, {"C", ""}}},
        {"first of a repeated name wins", {"A=1", "A=2", "B=x", "A=3"}, {{"A", "1"}, {"B", "x"}}},
        {"leading '=' gives the empty name", {"=x"}, {{"", "x"}}},
        {"a lone '=' is the empty name with an empty value", {"="}, {{"", ""}}},
        {"later '=' belong to the value", {"PATH=/a=b", "E==="}, {{"PATH", "/a=b"}, {"E", "=="}}},
        {"bytes are kept as they are",
         {"\xc3\xa9t\xc3\xa9=\xff\x80", "N\0UL=v\0w"s}, {{"\xc3\xa9t\xc3\xa9", "\xff\x80"}, {"N\0UL"s, "v\0w"s}}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        EXPECT_EQ(envStringsToMap(row.input), row.expected);
    }
}

TEST(EnvMapToStrings, SortsByUnsignedBytesOfTheName) {
    struct Row {
        const char* what;
        EnvMap input;
        EnvStrings expected;
    };
    const Row rows[] = {
        {"empty map", {}, {}},
        {"upper case before lower case", {{"b", "2"}, {"a", "1"}, {"B", "3"}}, {"B=3", "a=1", "b=2"}},
        {"a prefix sorts first", {{"ab", ""}, {"a", "x"}}, {"a=x", "ab="}},
        {"bytes >= 0x80 sort after ASCII",
         {{"\xc3\xa9", "1"}, {"z", "2"}, {"\x7f", "3"}, {"\xff", "4"}},
         {"z=2", "\x7f=3", "\xc3\xa9=1", "\xff=4"}},
        {"the empty name sorts first and values are not escaped",
         {{"", "x"}, {"A", "=b\n"}, {"K=V", "w"}}, {"=x", "A==b\n", "K=V=w"}},
        {"NUL bytes are ordinary bytes", {{"A\0"s, "1"}, {"A", "2"}}, {"A=2", "A\0=1"s}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        EXPECT_EQ(envMapToStrings(row.input), row.expected);
    }
}

// Any map whose names hold no '=' survives the round trip unchanged, and its
// entries come out sorted, one per variable.
TEST(EnvConversion, RandomMapsSurviveTheRoundTrip) {
    std::mt19937 random(20261209);
    auto randomBytes = [&](std::size_t maxLength, bool allowEquals) {
        std::string text(random() % (maxLength + 1), '\0');
        for (char& byte : text) {
            do {
                byte = static_cast<char>(random() % 256);
            } while (!allowEquals && byte == '=');
        }
        return text;
    };

    for (int round = 0; round < 300; ++round) {
        EnvMap variables;
        const auto count = random() % 20;
        for (unsigned i = 0; i < count; ++i) variables[randomBytes(6, false)] = randomBytes(12, true);

        const EnvStrings entries = envMapToStrings(variables);
        ASSERT_EQ(entries.size(), variables.size());
        for (std::size_t i = 1; i < entries.size(); ++i)
            ASSERT_TRUE(byteLess(nameOf(entries[i - 1]), nameOf(entries[i]))) << i;
        ASSERT_EQ(envStringsToMap(entries), variables);
    }
}

}  // namespace
