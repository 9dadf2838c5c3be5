// A sweep through a board's GPIO lines, counted on the stand-in chip: the set
// and get ioctls per point, and the time per point they model at a given
// ioctl cost with the backend's pacing (a set starts a microsecond after the
// set before it returned).
#include "app/settings.hpp"
#include "app/sweep.hpp"
#include "link/gpio_standin.hpp"
#include "link/link.hpp"
#include "link/port.hpp"
#include "bench/bench_link.hpp"

#include <benchmark/benchmark.h>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

namespace {

void sweep_through_gpio(benchmark::State &state) {
    double points = 0, sets = 0, gets = 0, paced = 0;
    for (auto _ : state) {
        gpio_standin::reset(gpio_standin::settings());
        bench_open("gpio");
        // The sweep's own start-up, counted once here and taken off below.
        auto first = gpio_standin::done;
        converter_start();
        auto started = gpio_standin::done;
        start_word = 42949672;
        end_word = 429496729;
        step_divisor = 20;
        std::FILE *results = std::tmpfile();
        std::fflush(stdout);
        int saved = dup(1), null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        run_sweep(results);
        std::fflush(stdout);
        dup2(saved, 1);
        close(null);
        close(saved);
        auto after = gpio_standin::done;
        points += static_cast<double>(tally.points);
        sets += static_cast<double>((after.sets - started.sets) - (started.sets - first.sets));
        gets += static_cast<double>((after.gets - started.gets) - (started.gets - first.gets));
        paced += static_cast<double>((after.sets_after_sets - started.sets_after_sets) -
                                     (started.sets_after_sets - first.sets_after_sets));
        bench_close();
        std::fclose(results);
    }
    state.counters["sets_per_point"] = sets / points;
    state.counters["gets_per_point"] = gets / points;
    state.counters["sets_after_sets_per_point"] = paced / points;
    // A set right after a set waits the microsecond on top of its own cost;
    // one after a get has had the get's time (at least a microsecond here).
    for (double cost_us : {1.0, 3.0, 7.0})
        state.counters["model_ms_at_" + std::to_string(static_cast<int>(cost_us)) + "us"] =
            (paced * (1 + cost_us) + (sets - paced) * cost_us + gets * cost_us) / points / 1000;
}
BENCHMARK(sweep_through_gpio)->Iterations(3)->Unit(benchmark::kMillisecond);

} // namespace
