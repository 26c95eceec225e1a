// SPDX-License-Identifier: MIT
#pragma once

#include <tarn/utils/env.hpp>

namespace tarn::utils::detail {

// envStringsToMap() for a list the caller no longer needs: the same map,
// built by taking the entries' strings apart instead of copying them.
EnvMap envStringsToMap(EnvStrings&& entries);

}  // namespace tarn::utils::detail
