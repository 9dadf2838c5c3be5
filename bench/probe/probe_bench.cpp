// How long a whole probe takes on the simulated instrument, healthy and with
// each fault: a dead converter must be diagnosed within two seconds.
#include "probe/probe.hpp"

#include <benchmark/benchmark.h>
#include <string>

namespace {

void whole_probe(benchmark::State &state, const char *setting) {
    for (auto _ : state)
        benchmark::DoNotOptimize(run_probe(setting));
}

BENCHMARK_CAPTURE(whole_probe, healthy, "sim")->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK_CAPTURE(whole_probe, busy_stuck, "sim:fault=busy-stuck")
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3);
BENCHMARK_CAPTURE(whole_probe, busy_open, "sim:fault=busy-open")
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3);
BENCHMARK_CAPTURE(whole_probe, data_low, "sim:fault=data-low")->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK_CAPTURE(whole_probe, data_high, "sim:fault=data-high")->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK_CAPTURE(whole_probe, synth_dead, "sim:fault=synth-dead")
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3);
BENCHMARK_CAPTURE(whole_probe, noisy, "sim:fault=noisy")->Unit(benchmark::kMillisecond)->Iterations(3);

} // namespace
