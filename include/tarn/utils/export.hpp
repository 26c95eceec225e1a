// SPDX-License-Identifier: MIT
#pragma once

// Both libraries are built with hidden symbols; these macros mark the public
// API of each one. On ELF platforms the same attribute serves the library
// itself and its clients, so no "building" switch is needed.
#if defined(__GNUC__) || defined(__clang__)
#define TARN_UTILS_API __attribute__((visibility("default")))
#define TARN_UTILS_LOG_API __attribute__((visibility("default")))
#else
#define TARN_UTILS_API
#define TARN_UTILS_LOG_API
#endif
