// SPDX-License-Identifier: MIT
#pragma once

#include <string>
#include <unordered_map>
#include <vector>

#include <tarn/utils/export.hpp>

// Boolean-result access to the process environment, and conversions between
// the two shapes an environment comes in.
//
// Thread-safety: the process environment is not thread-safe. POSIX and glibc
// mark setenv/unsetenv MT-unsafe, and a reader racing a writer may see freed
// memory. None of these functions takes a lock: a caller that changes the
// environment from several threads, or changes it while another thread reads,
// snapshots, clears or prints it, must serialise those calls itself. The two
// conversions touch no process state and are safe to call concurrently.
//
// Errors: no function here throws except std::bad_alloc, and none prints.
// Failure is reported by the boolean result, with errno left as the failed
// call set it.

namespace tarn::utils {
inline namespace v4 {

// Name to value, both byte strings. Names are unique; iteration order is
// unspecified.
using EnvMap = std::unordered_map<std::string, std::string>;

// An ordered list of byte strings, each meant as one NAME=VALUE entry.
using EnvStrings = std::vector<std::string>;

// Converts NAME=VALUE entries to a map. The first '=' splits an entry; later
// ones belong to the value. Empty entries and entries without '=' are
// skipped; an entry starting with '=' gives the empty name. When a name
// repeats, its first entry wins. Bytes are taken as they are (NUL included).
TARN_UTILS_API EnvMap envStringsToMap(const EnvStrings& entries);

// Converts a map to NAME=VALUE entries sorted by name in unsigned byte order
// (a name sorts before every longer name it is a prefix of). Nothing is
// escaped: a name holding '=' will split elsewhere when read back.
TARN_UTILS_API EnvStrings envMapToStrings(const EnvMap& variables);

// Reads one variable. Returns true and stores its text in `value` when the
// variable is set and, unless `acceptEmpty`, non-empty. Otherwise returns
// false and leaves `value` untouched. A name no variable can have (empty,
// holding '=' or a NUL byte) is never found, although the C library's lookup
// would match "A=B" against part of the entry "A=B=x".
TARN_UTILS_API bool env(const std::string& name, std::string& value,
                        bool acceptEmpty = false);

// Sets one variable, replacing any previous value. Afterwards the
// environment holds exactly one entry for the name, also when the process
// was started with the name twice (the stale entry would otherwise reach
// child processes). Returns false, with nothing changed, when the platform
// refuses (empty name, name holding '=': errno EINVAL; ENOMEM), and also,
// with errno EINVAL, when the name or the value holds a NUL byte, which the
// platform could not see.
TARN_UTILS_API bool setenv(const std::string& name, const std::string& value);

// Removes one variable. Removing a name that is not set succeeds. Returns
// false with errno EINVAL for an empty name, a name holding '=' or a NUL byte.
TARN_UTILS_API bool unsetenv(const std::string& name);

// Sets every pair of `variables`, in the map's order, with setenv() above.
// Returns true when every one succeeded (an empty map gives true). A failure
// does not stop the others and nothing is rolled back; errno is left as the
// last failed call set it, whatever the successes after it did to errno.
TARN_UTILS_API bool setenv(const EnvMap& variables);

// A snapshot of the whole environment. Entries without '=' are dropped, and
// of a repeated name the earlier entry wins. A null environ gives {}.
TARN_UTILS_API EnvMap env();

// Removes every variable of a snapshot, one at a time. Returns true when
// every removal succeeded. A name the platform refuses (the empty name of an
// entry starting with '=') makes the result false, the others still go.
// Entries without '=' are not variables and stay. errno is left as the last
// failed call set it.
TARN_UTILS_API bool clearenv();

// The whole environment as NAME=VALUE lines sorted as by envMapToStrings(),
// each followed by "\n"; an empty environment gives "".
TARN_UTILS_API std::string printenv();

}  // namespace v4
}  // namespace tarn::utils
