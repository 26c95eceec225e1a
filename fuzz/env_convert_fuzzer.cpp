// SPDX-License-Identifier: MIT
// Feeds arbitrary byte strings through envStringsToMap and envMapToStrings
// and checks what the results must satisfy, not only that nothing crashes.
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include <fuzzer/FuzzedDataProvider.h>

#include <tarn/utils/env.hpp>

#include "fuzz_support.hpp"

namespace {

namespace tu = tarn::utils;
using tarn::utils::fuzz::UnsignedBytesLess;

// What envStringsToMap must return, spelled out entry by entry.
std::map<std::string, std::string> expectedMap(const tu::EnvStrings& entries) {
    std::map<std::string, std::string> expected;
    for (const std::string& entry : entries) {
        const std::size_t split = entry.find('=');
        if (split == std::string::npos) continue;
        const std::string name = entry.substr(0, split);
        if (expected.count(name) == 0) expected[name] = entry.substr(split + 1);
    }
    return expected;
}

bool sameContents(const tu::EnvMap& actual, const std::map<std::string, std::string>& expected) {
    if (actual.size() != expected.size()) return false;
    for (const auto& [name, value] : expected) {
        const auto found = actual.find(name);
        if (found == actual.end() || found->second != value) return false;
    }
    return true;
}

void checkToMap(const tu::EnvStrings& entries) {
    FUZZ_CHECK(sameContents(tu::envStringsToMap(entries), expectedMap(entries)));
}

// Every map gives one entry per name, in unsigned byte order of the names,
// each exactly name '=' value.
void checkToStrings(const tu::EnvMap& variables) {
    const tu::EnvStrings entries = tu::envMapToStrings(variables);
    FUZZ_CHECK(entries.size() == variables.size());

    std::map<std::string, std::string, UnsignedBytesLess> sorted(variables.begin(), variables.end());
    std::size_t i = 0;
    for (const auto& [name, value] : sorted) {
        FUZZ_CHECK(entries[i] == name + '=' + value);
        ++i;
    }

    bool namesHoldEquals = false;
    for (const auto& variable : variables)
        namesHoldEquals = namesHoldEquals || variable.first.find('=') != std::string::npos;
    if (!namesHoldEquals) {
        FUZZ_CHECK(tu::envStringsToMap(entries) == variables);
    } else {
        checkToMap(entries);  // reads back by its own rules, split elsewhere
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    tu::EnvStrings entries;
    while (input.remaining_bytes() > 0) entries.push_back(input.ConsumeRandomLengthString());

    // The strings as an environment block...
    checkToMap(entries);
    checkToStrings(tu::envStringsToMap(entries));

    // ...and taken in pairs as names and values, which may hold '=' and
    // repeat (the first pair of a name is kept).
    tu::EnvMap pairs;
    for (std::size_t i = 0; i + 1 < entries.size(); i += 2) pairs.emplace(entries[i], entries[i + 1]);
    checkToStrings(pairs);
    return 0;
}
