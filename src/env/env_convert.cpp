// SPDX-License-Identifier: MIT
#include <algorithm>
#include <utility>
#include <vector>

#include <tarn/utils/env.hpp>

#include "env_convert.hpp"

namespace tarn::utils {
namespace {

// Builds the map from entries in list order. `takeValue(entry, split)`
// yields the value after the '=' at `split`, by copy or by taking the
// entry's own buffer. try_emplace leaves a name already present alone, so
// the first entry of a repeated name wins.
template <typename Entries, typename TakeValue>
EnvMap toMap(Entries& entries, TakeValue takeValue) {
    EnvMap variables;
    variables.reserve(entries.size());
    for (auto& entry : entries) {
        const auto split = entry.find('=');
        if (split == std::string::npos) continue;  // also skips the empty entry
        std::string name = entry.substr(0, split);
        variables.try_emplace(std::move(name), takeValue(entry, split));
    }
    return variables;
}

}  // namespace

inline namespace v4 {

EnvMap envStringsToMap(const EnvStrings& entries) {
    return toMap(entries, [](const std::string& entry, std::size_t split) {
        return entry.substr(split + 1);
    });
}

EnvStrings envMapToStrings(const EnvMap& variables) {
    // Sorting pointers rather than copies keeps every string where it is
    // until it is copied once into its entry. std::string compares through
    // char_traits<char>::compare, which orders bytes as unsigned values with
    // a prefix before the longer name: exactly the order we promise.
    using Variable = EnvMap::value_type;
    std::vector<const Variable*> order;
    order.reserve(variables.size());
    for (const Variable& variable : variables) order.push_back(&variable);
    std::sort(order.begin(), order.end(),
              [](const Variable* a, const Variable* b) { return a->first < b->first; });

    EnvStrings entries;
    entries.reserve(order.size());
    for (const Variable* variable : order) {
        std::string& entry = entries.emplace_back();
        entry.reserve(variable->first.size() + 1 + variable->second.size());
        entry.append(variable->first).append(1, '=').append(variable->second);
    }
    return entries;
}

}  // namespace v4

namespace detail {

EnvMap envStringsToMap(EnvStrings&& entries) {
    // The entry's own buffer becomes the value: one allocation fewer.
    return toMap(entries, [](std::string& entry, std::size_t split) {
        return std::move(entry.erase(0, split + 1));
    });
}

}  // namespace detail
}  // namespace tarn::utils
