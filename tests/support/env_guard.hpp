// SPDX-License-Identifier: MIT
#pragma once

#include <cstdlib>
#include <string>
#include <vector>

extern char** environ;

namespace tarn::utils::test {

// Saves the process environment and puts it back on destruction, so a test
// may set, remove, clear or even replace `environ` without leaking into the
// next one. Restoring goes through the C library, never through the code
// under test. (A test runner's environment holds plain NAME=VALUE entries;
// that is what is saved and restored.)
class EnvGuard {
public:
    EnvGuard() {
        for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry)
            saved_.emplace_back(*entry);
    }

    ~EnvGuard() {
        ::clearenv();  // also forgets a block a test installed by hand
        for (const std::string& entry : saved_) {
            const auto split = entry.find('=');
            if (split == std::string::npos || split == 0) continue;
            ::setenv(entry.substr(0, split).c_str(), entry.c_str() + split + 1, 1);
        }
    }

    EnvGuard(const EnvGuard&) = delete;
    EnvGuard& operator=(const EnvGuard&) = delete;

private:
    std::vector<std::string> saved_;
};

}  // namespace tarn::utils::test
