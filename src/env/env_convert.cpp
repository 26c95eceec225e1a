#include <tarn/utils/env.hpp>

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
}  // namespace tarn::utils
