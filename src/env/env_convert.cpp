#include <tarn/utils/env.hpp>

#include "env_convert.hpp"
#include "sorted_view.hpp"

namespace tarn::utils {
inline namespace v4 {

EnvMap envStringsToMap(const EnvStrings& entries) {
    EnvMap variables;
    variables.reserve(entries.size());
    for (const std::string& entry : entries) {
        const auto split = entry.find('=');
        if (split == std::string::npos) continue;  // also skips the empty entry
        // try_emplace leaves an existing name alone: the first entry wins.
        variables.try_emplace(entry.substr(0, split), entry, split + 1);
    }
    return variables;
}

EnvStrings envMapToStrings(const EnvMap& variables) {
    EnvStrings entries;
    entries.reserve(variables.size());
    for (const detail::EnvEntry* variable : detail::sortedByName(variables)) {
        std::string& entry = entries.emplace_back();
        entry.reserve(variable->first.size() + 1 + variable->second.size());
        entry.append(variable->first).append(1, '=').append(variable->second);
    }
    return entries;
}

}  // namespace v4

namespace detail {

EnvMap envStringsToMap(EnvStrings&& entries) {
    EnvMap variables;
    variables.reserve(entries.size());
    for (std::string& entry : entries) {
        const auto split = entry.find('=');
        if (split == std::string::npos) continue;
        std::string name = entry.substr(0, split);
        // The entry's own buffer becomes the value: one allocation fewer.
        variables.try_emplace(std::move(name), std::move(entry.erase(0, split + 1)));
    }
    return variables;
}

}  // namespace detail
}  // namespace tarn::utils
