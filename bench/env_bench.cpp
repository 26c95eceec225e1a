// SPDX-License-Identifier: MIT
// The environment library against the loops a program would write by hand
// for the same job. Each anchor is plain and lean: it copies what it must
// and nothing else, and reserves where the size is already known.

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include <benchmark/benchmark.h>

#include <tarn/utils/env.hpp>

#include "bench_case.hpp"
#include "workload.hpp"

extern char** environ;

namespace {

namespace tu = tarn::utils;
namespace tb = tarn::utils::bench;
using Map = std::unordered_map<std::string, std::string>;

constexpr std::size_t kEnvironmentSize = 2000;
constexpr std::size_t kConversionSize = 10000;

// ---- the anchors

Map snapshotByHand() {
    Map variables;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        char* split = std::strchr(*entry, '=');
        if (split == nullptr) continue;
        variables.emplace(std::string(*entry, split), std::string(split + 1));
    }
    return variables;
}

std::string printenvByHand() {
    std::vector<std::pair<std::string_view, std::string_view>> entries;  // name, entry
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string_view text(*entry);
        entries.emplace_back(text.substr(0, text.find('=')), text);
    }
    std::sort(entries.begin(), entries.end(),
              [](const auto& a, const auto& b) { return a.first < b.first; });
    std::string text;
    for (const auto& entry : entries) text.append(entry.second).append(1, '\n');
    return text;
}

Map stringsToMapByHand(const std::vector<std::string>& entries) {
    Map variables;
    variables.reserve(entries.size());
    for (const std::string& entry : entries) {
        const auto split = entry.find('=');
        if (split == std::string::npos) continue;
        variables.emplace(entry.substr(0, split), entry.substr(split + 1));
    }
    return variables;
}

std::vector<std::string> mapToStringsByHand(const Map& variables) {
    std::vector<const Map::value_type*> order;
    order.reserve(variables.size());
    for (const auto& variable : variables) order.push_back(&variable);
    std::sort(order.begin(), order.end(),
              [](const Map::value_type* a, const Map::value_type* b) { return a->first < b->first; });
    std::vector<std::string> entries;
    entries.reserve(order.size());
    for (const Map::value_type* variable : order) {
        std::string& entry = entries.emplace_back();
        entry.reserve(variable->first.size() + 1 + variable->second.size());
        entry.append(variable->first).append(1, '=').append(variable->second);
    }
    return entries;
}

// ---- the work

// Replaces the process environment with `kEnvironmentSize` variables.
void installEnvironment() {
    ::clearenv();
    for (const auto& [name, value] : tb::variables(kEnvironmentSize))
        ::setenv(name.c_str(), value.c_str(), 1);
}

std::vector<std::string> conversionEntries() {
    std::vector<std::string> entries;
    for (const auto& [name, value] : tb::variables(kConversionSize, 2))
        entries.push_back(name + '=' + value);
    return entries;
}

const std::vector<std::string>& entries() {
    static const std::vector<std::string> list = conversionEntries();
    return list;
}

const Map& variables() {
    static const Map map = stringsToMapByHand(entries());
    return map;
}

// Both sides of every case must do the same job: refuse to measure otherwise.
bool sidesAgree() {
    bool agree = true;
    auto check = [&agree](bool same, const char* what) {
        if (!same) std::fprintf(stderr, "env_bench: %s: project and anchor differ\n", what);
        agree = agree && same;
    };
    check(tu::env() == snapshotByHand(), "snapshot");
    check(tu::printenv() == printenvByHand(), "printenv");
    check(tu::envStringsToMap(entries()) == stringsToMapByHand(entries()), "envStringsToMap");
    check(tu::envMapToStrings(variables()) == mapToStringsByHand(variables()), "envMapToStrings");
    return agree;
}

// A benchmark that calls `work` once per iteration and keeps its result.
template <typename Work>
auto repeatedly(Work work) {
    return [work](benchmark::State& state) {
        for (auto _ : state) benchmark::DoNotOptimize(work());
    };
}

void registerCases() {
    auto microseconds = [](benchmark::internal::Benchmark* b) { b->Unit(benchmark::kMicrosecond); };
    tb::addCase("env_snapshot", repeatedly([] { return tu::env(); }),
                repeatedly(snapshotByHand), microseconds);
    tb::addCase("env_printenv", repeatedly(tu::printenv), repeatedly(printenvByHand), microseconds);
    tb::addCase("env_strings_to_map", repeatedly([] { return tu::envStringsToMap(entries()); }),
                repeatedly([] { return stringsToMapByHand(entries()); }), microseconds);
    tb::addCase("env_map_to_strings", repeatedly([] { return tu::envMapToStrings(variables()); }),
                repeatedly([] { return mapToStringsByHand(variables()); }), microseconds);
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    installEnvironment();
    if (!sidesAgree()) return 1;
    registerCases();
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
