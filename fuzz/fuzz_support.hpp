// SPDX-License-Identifier: MIT
#pragma once

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>

// A failed property is a crash to libFuzzer: it keeps the input and stops.
#define FUZZ_CHECK(condition)                                                          \
    do {                                                                               \
        if (!(condition)) {                                                            \
            std::fprintf(stderr, "%s:%d: property failed: %s\n", __FILE__, __LINE__, \
                         #condition);                                                  \
            std::abort();                                                              \
        }                                                                              \
    } while (false)

namespace tarn::utils::fuzz {

// The promised order of names, written out byte by byte so that the check
// does not lean on std::string's comparison as the library does.
struct UnsignedBytesLess {
    bool operator()(const std::string& a, const std::string& b) const {
        return std::lexicographical_compare(
            a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
                return static_cast<unsigned char>(x) < static_cast<unsigned char>(y);
            });
    }
};

}  // namespace tarn::utils::fuzz
