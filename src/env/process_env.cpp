// SPDX-License-Identifier: MIT
#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <utility>
#include <vector>

#include <tarn/utils/env.hpp>

#include "env_convert.hpp"

extern char** environ;

namespace tarn::utils {
inline namespace v4 {
namespace {

// The platform sees names and values as C strings. A string holding a NUL
// byte would reach it cut short, so "PATH\0x" would act on PATH; such input
// is refused instead.
bool hasNul(const std::string& text) {
    return text.find('\0') != std::string::npos;
}

// No variable can be named so that setenv() would refuse the name. The C
// library's lookup would still match such a name against a prefix of some
// entry: getenv("A=B") returns "x" when A holds "B=x".
bool impossibleName(const std::string& name) {
    return name.empty() || name.find('=') != std::string::npos || hasNul(name);
}

// Whether a block entry is a variable called `name`.
bool entryNames(const char* entry, const std::string& name) {
    return std::strncmp(entry, name.c_str(), name.size()) == 0 && entry[name.size()] == '=';
}

// A process may start with a name twice in its block, and setenv() changes
// only one entry. Every other entry of `name` is dropped by moving the later
// pointers down, as unsetenv() does: this needs no memory and cannot fail.
// The entry kept is the first one holding the new value.
void dropOtherEntries(const std::string& name, const std::string& value) {
    char** block = environ;
    if (block == nullptr) return;
    bool kept = false;
    char** to = block;
    for (char** from = block; *from != nullptr; ++from) {
        if (entryNames(*from, name)) {
            if (kept || std::strcmp(*from + name.size() + 1, value.c_str()) != 0) continue;
            kept = true;
        }
        *to++ = *from;
    }
    *to = nullptr;
}

bool refuseInvalid() {
    errno = EINVAL;
    return false;
}

// Runs `apply` on every element, keeps going after a failure and reports
// whether all succeeded. A later success may clobber errno, so the errno of
// the last failure is put back at the end.
template <typename Range, typename Apply>
bool applyAll(const Range& range, Apply apply) {
    bool allSucceeded = true;
    int lastError = 0;
    for (const auto& element : range) {
        if (!apply(element)) {
            allSucceeded = false;
            lastError = errno;
        }
    }
    if (!allSucceeded) errno = lastError;
    return allSucceeded;
}

}  // namespace

bool env(const std::string& name, std::string& value, bool acceptEmpty) {
    if (impossibleName(name)) return false;
    const char* text = ::getenv(name.c_str());
    if (text == nullptr) return false;
    if (*text == '\0' && !acceptEmpty) return false;
    value.assign(text);
    return true;
}

bool setenv(const std::string& name, const std::string& value) {
    if (hasNul(name) || hasNul(value)) return refuseInvalid();
    if (::setenv(name.c_str(), value.c_str(), 1) != 0) return false;
    dropOtherEntries(name, value);
    return true;
}

bool unsetenv(const std::string& name) {
    if (hasNul(name)) return refuseInvalid();
    return ::unsetenv(name.c_str()) == 0;
}

bool setenv(const EnvMap& variables) {
    return applyAll(variables, [](const EnvMap::value_type& variable) {
        return setenv(variable.first, variable.second);
    });
}

EnvMap env() {
    EnvStrings entries;
    if (char** block = environ) {
        std::size_t count = 0;
        while (block[count] != nullptr) ++count;
        entries.reserve(count);
        for (std::size_t i = 0; i < count; ++i) entries.emplace_back(block[i]);
    }
    return detail::envStringsToMap(std::move(entries));
}

bool clearenv() {
    return applyAll(env(), [](const EnvMap::value_type& variable) {
        return unsetenv(variable.first);
    });
}

std::string printenv() {
    // The lines of a sorted snapshot, without building one: entries are
    // viewed where they lie in the block and sorted stably by name, so the
    // first entry of a repeated name leads its run and is the one kept.
    // Entries without '=' are no variables and drop out, as from a snapshot.
    struct Entry {
        std::string_view name;
        std::string_view text;  // NAME=VALUE
    };
    std::vector<Entry> entries;
    if (char** block = environ) {
        for (; *block != nullptr; ++block) {
            const std::string_view text(*block);
            const auto split = text.find('=');
            if (split != std::string_view::npos) entries.push_back({text.substr(0, split), text});
        }
    }
    // string_view compares bytes as unsigned values, a prefix first, as
    // envMapToStrings() orders names.
    std::stable_sort(entries.begin(), entries.end(),
                     [](const Entry& a, const Entry& b) { return a.name < b.name; });
    entries.erase(std::unique(entries.begin(), entries.end(),
                              [](const Entry& a, const Entry& b) { return a.name == b.name; }),
                  entries.end());

    std::size_t length = 0;
    for (const Entry& entry : entries) length += entry.text.size() + 1;
    std::string text;
    text.reserve(length);
    for (const Entry& entry : entries) text.append(entry.text).append(1, '\n');
    return text;
}

}  // namespace v4
}  // namespace tarn::utils
