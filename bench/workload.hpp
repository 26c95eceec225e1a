// SPDX-License-Identifier: MIT
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace tarn::utils::bench {

// Deterministic NAME, VALUE pairs shaped like a real environment: unique
// upper-case names of 4 to 30 bytes in no particular order, values of 0 to
// 120 printable bytes (some holding '='). The same seed gives the same pairs,
// so every run and both sides of a case see identical input.
inline std::vector<std::pair<std::string, std::string>> variables(std::size_t count,
                                                                  std::uint32_t seed = 1) {
    std::uint32_t state = seed;
    auto next = [&state](std::uint32_t bound) {
        state = state * 1664525u + 1013904223u;  // LCG: plenty for test data
        return (state >> 8) % bound;
    };
    static const char nameBytes[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZ_0123456789";
    static const char valueBytes[] =
        "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789/:._-=, ";

    std::vector<std::pair<std::string, std::string>> result;
    result.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
        std::string name(1, nameBytes[next(26)]);  // starts with a letter
        const std::uint32_t nameLength = 4 + next(27);
        while (name.size() + 6 < nameLength) name += nameBytes[next(sizeof nameBytes - 1)];
        name += '_';
        name += std::to_string(i);  // keeps names unique
        std::string value(next(121), '\0');
        for (char& byte : value) byte = valueBytes[next(sizeof valueBytes - 1)];
        result.emplace_back(std::move(name), std::move(value));
    }
    return result;
}

}  // namespace tarn::utils::bench
