// SPDX-License-Identifier: MIT
// A tour of the environment functions: each step says what it did.
#include <cstdio>
#include <string>

#include <tarn/utils/env.hpp>

namespace env = tarn::utils;

int main() {
    // Conversions between NAME=VALUE lists and maps.
    const env::EnvMap parsed = env::envStringsToMap({"B=2", "A=1", "A=ignored", "no-equals", "URL=a=b"});
    std::printf("envStringsToMap: %zu variables (first A wins, 'no-equals' dropped)\n", parsed.size());
    for (const std::string& entry : env::envMapToStrings(parsed))
        std::printf("  envMapToStrings -> %s\n", entry.c_str());

    // One variable at a time.
    std::printf("setenv(DEMO_GREETING, hello) -> %d\n", env::setenv("DEMO_GREETING", "hello"));
    std::string value;
    if (env::env("DEMO_GREETING", value)) std::printf("env(DEMO_GREETING) -> %s\n", value.c_str());
    env::setenv("DEMO_EMPTY", "");
    const bool emptyFound = env::env("DEMO_EMPTY", value);
    const bool emptyAccepted = env::env("DEMO_EMPTY", value, true);
    std::printf("env(DEMO_EMPTY) -> %d, accepting empty -> %d\n", emptyFound, emptyAccepted);
    std::printf("setenv(\"BAD=NAME\", x) -> %d (refused)\n", env::setenv("BAD=NAME", "x"));
    const bool removed = env::unsetenv("DEMO_GREETING");
    std::printf("unsetenv(DEMO_GREETING) -> %d, still set -> %d\n", removed,
                env::env("DEMO_GREETING", value, true));

    // Many at once, and the whole environment.
    std::printf("setenv({DEMO_X=1, DEMO_Y=2}) -> %d\n", env::setenv(env::EnvMap{{"DEMO_X", "1"}, {"DEMO_Y", "2"}}));
    std::printf("env() holds %zu variables\n", env::env().size());
    const std::string listing = env::printenv();
    std::printf("printenv() gives %zu bytes; DEMO lines:\n", listing.size());
    for (std::size_t start = 0, end; start < listing.size(); start = end + 1) {
        end = listing.find('\n', start);
        const std::string line = listing.substr(start, end - start);
        if (line.rfind("DEMO_", 0) == 0) std::printf("  %s\n", line.c_str());
    }

    const bool cleared = env::clearenv();
    std::printf("clearenv() -> %d, now %zu variables, printenv() = \"%s\"\n", cleared, env::env().size(),
                env::printenv().c_str());
    return 0;
}
