// SPDX-License-Identifier: MIT
#pragma once

#include <string>

#include <benchmark/benchmark.h>

namespace tarn::utils::bench {

// Registers one case as two benchmarks, "<name>/project" and "<name>/anchor",
// which the ratio table pairs up by name. `configure` gets each benchmark so
// both sides always run with the same settings (threads, time unit, ...).
template <typename Project, typename Anchor, typename Configure>
void addCase(const std::string& name, Project project, Anchor anchor, Configure configure) {
    configure(benchmark::RegisterBenchmark((name + "/project").c_str(), project));
    configure(benchmark::RegisterBenchmark((name + "/anchor").c_str(), anchor));
}

}  // namespace tarn::utils::bench
