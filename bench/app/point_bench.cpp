// One whole point: load, two exchanges, decode, live line, flushed record.
#include "app/sweep.hpp"
#include "link/link.hpp"
#include "link/port.hpp"
#include "bench/bench_link.hpp"

#include <benchmark/benchmark.h>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>

namespace {

void whole_point(benchmark::State &state) {
    bench_open("sim:busyreads=1");
    converter_start();
    char path[] = "/tmp/talvik-bench-results-XXXXXX";
    int fd = mkstemp(path);
    std::FILE *results = fdopen(fd, "wb");
    // The live line goes where a benchmark run's standard output would go in
    // a redirected sweep: nowhere, buffered.
    std::fflush(stdout);
    int saved_stdout = dup(1);
    int null = open("/dev/null", O_WRONLY);
    dup2(null, 1);
    int32_t word = 42949672;
    for (auto _ : state) {
        measure_point(results, word);
        word = word < 400000000 ? word + 1000 : 42949672;
    }
    std::fflush(stdout);
    dup2(saved_stdout, 1);
    close(null);
    close(saved_stdout);
    std::fclose(results);
    std::remove(path);
}
BENCHMARK(whole_point);

} // namespace
