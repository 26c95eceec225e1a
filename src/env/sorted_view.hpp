#pragma once

#include <algorithm>
#include <vector>

#include <tarn/utils/env.hpp>

namespace tarn::utils::detail {

using EnvEntry = EnvMap::value_type;

// Pointers to the map's pairs in ascending name order. Sorting pointers
// rather than copies keeps every string where it is until the caller copies
// it once into its result. std::string compares through
// char_traits<char>::compare, which orders bytes as unsigned values, with a
// prefix before the longer name: exactly the order we promise.
inline std::vector<const EnvEntry*> sortedByName(const EnvMap& variables) {
    std::vector<const EnvEntry*> order;
    order.reserve(variables.size());
    for (const auto& entry : variables) order.push_back(&entry);
    std::sort(order.begin(), order.end(),
              [](const EnvEntry* a, const EnvEntry* b) { return a->first < b->first; });
    return order;
}

}  // namespace tarn::utils::detail
