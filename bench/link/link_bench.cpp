// The cost of the link's pieces on the simulated instrument.
#include "link/link.hpp"
#include "link/port.hpp"
#include "bench/bench_link.hpp"
#include "link/trace.hpp"

#include <benchmark/benchmark.h>
#include <cstdio>
#include <cstdlib>
#include <unistd.h>

namespace {

void open_sim() {
    if (!the_link)
        bench_open("sim:busyreads=1");
}

void port_write_and_read(benchmark::State &state) {
    open_sim();
    uint32_t status = 0;
    for (auto _ : state) {
        write_data(0xF0);
        status += read_status();
    }
    benchmark::DoNotOptimize(status);
    state.SetItemsProcessed(2 * state.iterations());
}
BENCHMARK(port_write_and_read);

void port_write_and_read_traced(benchmark::State &state) {
    char path[] = "/tmp/talvik-bench-trace-XXXXXX";
    int fd = mkstemp(path);
    bench_open("sim:busyreads=1", path);
    uint32_t status = 0;
    for (auto _ : state) {
        write_data(0xF0);
        status += read_status();
    }
    bench_close();
    std::remove(path);
    if (fd >= 0)
        close(fd);
    benchmark::DoNotOptimize(status);
    state.SetItemsProcessed(2 * state.iterations());
}
BENCHMARK(port_write_and_read_traced);

void synthesizer_load(benchmark::State &state) {
    open_sim();
    int32_t word = 42949672;
    for (auto _ : state)
        load_synthesizer(word++, 0);
}
BENCHMARK(synthesizer_load);

void converter_exchange_measure(benchmark::State &state) {
    open_sim();
    converter_start();
    uint32_t reply = 0;
    for (auto _ : state)
        reply += converter_exchange(measure_command);
    benchmark::DoNotOptimize(reply);
}
BENCHMARK(converter_exchange_measure);

} // namespace
