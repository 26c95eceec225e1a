// SPDX-License-Identifier: MIT
// Drives the process-environment functions with random names and values and
// checks every result, errno and the environment itself against a model.
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <string>
#include <utility>

#include <fuzzer/FuzzedDataProvider.h>

#include <tarn/utils/env.hpp>

#include "fuzz_support.hpp"

extern char** environ;

namespace {

namespace tu = tarn::utils;
using namespace std::string_literals;
using Model = std::map<std::string, std::string, tarn::utils::fuzz::UnsignedBytesLess>;

// Names worth hitting on purpose: valid ones that sort around each other,
// and every kind the platform or the library must refuse.
const std::string kNames[] = {
    "TARN_A", "TARN_B", "tarn_a", "TARN_A=", "TARN_A=B", "TARN_A\0B"s, "\0"s, "=", "",
    "\x80", "\xff\xfe", "PATH",
};

// The C library keeps every NAME=VALUE string it was ever given, so long
// values are only paired with the few names above: a run must not grow
// without bound.
const char kLongFill[] = {'v', '=', '\xff'};
constexpr std::size_t kLongLength = std::size_t{1} << 16;

// The fuzzer's own environment, restored before every input so that inputs
// stay independent of each other.
Model baseline;

bool validName(const std::string& name) {
    return !name.empty() && name.find('=') == std::string::npos &&
           name.find('\0') == std::string::npos;
}

bool validValue(const std::string& value) {
    return value.find('\0') == std::string::npos;
}

// The environment as the C library holds it, read without the code under test.
Model actualEnvironment() {
    Model actual;
    for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
        const std::string text = *entry;
        const std::size_t split = text.find('=');
        if (split != std::string::npos) actual.emplace(text.substr(0, split), text.substr(split + 1));
    }
    return actual;
}

bool sameContents(const tu::EnvMap& actual, const Model& expected) {
    return actual.size() == expected.size() && Model(actual.begin(), actual.end()) == expected;
}

struct Name {
    std::string text;
    bool pooled;
};

Name pickName(FuzzedDataProvider& input) {
    if (input.ConsumeBool()) return {input.PickValueInArray(kNames), true};
    return {input.ConsumeRandomLengthString(12), false};
}

std::string pickValue(FuzzedDataProvider& input, const Name& name) {
    switch (input.ConsumeIntegralInRange(0, 3)) {
    case 0:
        return "";
    case 1:
        return input.PickValueInArray({"="s, "a=b"s, "\0"s, "x\0y"s, "\xc3\x28"s});
    case 2:
        if (name.pooled) return std::string(kLongLength, input.PickValueInArray(kLongFill));
        [[fallthrough]];
    default:
        return input.ConsumeRandomLengthString(24);
    }
}

void setOne(FuzzedDataProvider& input, Model& model) {
    const Name name = pickName(input);
    const std::string value = pickValue(input, name);
    const bool valid = validName(name.text) && validValue(value);
    errno = 0;
    FUZZ_CHECK(tu::setenv(name.text, value) == valid);
    if (valid) {
        model[name.text] = value;
    } else {
        FUZZ_CHECK(errno == EINVAL);
    }
}

void setMany(FuzzedDataProvider& input, Model& model) {
    tu::EnvMap variables;
    for (int count = input.ConsumeIntegralInRange(0, 4); count > 0; --count) {
        const Name name = pickName(input);
        variables.emplace(name.text, pickValue(input, name));
    }
    bool allValid = true;
    for (const auto& [name, value] : variables) {
        if (validName(name) && validValue(value)) {
            model[name] = value;  // the good pairs land whatever fails beside them
        } else {
            allValid = false;
        }
    }
    errno = 0;
    FUZZ_CHECK(tu::setenv(variables) == allValid);
    if (!allValid) FUZZ_CHECK(errno == EINVAL);
}

void unsetOne(FuzzedDataProvider& input, Model& model) {
    const Name name = pickName(input);
    const bool valid = validName(name.text);
    errno = 0;
    FUZZ_CHECK(tu::unsetenv(name.text) == valid);
    if (valid) {
        model.erase(name.text);
    } else {
        FUZZ_CHECK(errno == EINVAL);
    }
}

void readOne(FuzzedDataProvider& input, const Model& model) {
    const Name name = pickName(input);
    const bool acceptEmpty = input.ConsumeBool();
    // No variable can carry a name the library refuses to set, so such a
    // name is never found, whatever the C library's lookup would match.
    const auto found = validName(name.text) ? model.find(name.text) : model.end();
    const bool expected =
        found != model.end() && (acceptEmpty || !found->second.empty());

    std::string value = "untouched";
    FUZZ_CHECK(tu::env(name.text, value, acceptEmpty) == expected);
    FUZZ_CHECK(value == (expected ? found->second : "untouched"));
}

std::string expectedListing(const Model& model) {
    std::string text;
    for (const auto& [name, value] : model) text += name + '=' + value + '\n';
    return text;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    for (const auto& [name, value] : actualEnvironment())
        if (validName(name)) baseline.emplace(name, value);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    ::clearenv();
    for (const auto& [name, value] : baseline) ::setenv(name.c_str(), value.c_str(), 1);
    Model model = baseline;

    FuzzedDataProvider input(data, size);
    for (int step = 0; step < 64 && input.remaining_bytes() > 0; ++step) {
        switch (input.ConsumeIntegralInRange(0, 6)) {
        case 0: setOne(input, model); break;
        case 1: setMany(input, model); break;
        case 2: unsetOne(input, model); break;
        case 3: readOne(input, model); break;
        case 4: FUZZ_CHECK(sameContents(tu::env(), model)); break;
        case 5: FUZZ_CHECK(tu::printenv() == expectedListing(model)); break;
        case 6:
            FUZZ_CHECK(tu::clearenv());
            model.clear();
            break;
        }
        FUZZ_CHECK(actualEnvironment() == model);
    }
    return 0;
}
