// A sweep through a board's GPIO lines, counted on the stand-in chip: the
// bulk sets and gets (one ioctl each) per point, and the time per point they
// model at a given ioctl cost, with the microsecond between changes that the
// backend keeps.
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
    double points = 0, sets = 0, gets = 0;
    for (auto _ : state) {
        gpio_standin::reset(gpio_standin::settings());
        bench_open("gpio");
        converter_start();
        auto before = gpio_standin::done;
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
        // Less the sweep's own start-up: three exchanges and their waits.
        sets += static_cast<double>(after.sets - before.sets) - 3 * 50;
        gets += static_cast<double>(after.gets - before.gets) - 3 * 17;
        bench_close();
        std::fclose(results);
    }
    state.counters["sets_per_point"] = sets / points;
    state.counters["gets_per_point"] = gets / points;
    // A bulk set costs at least the microsecond kept between changes.
    for (double cost_us : {1.0, 3.0, 7.0})
        state.counters["model_ms_at_" + std::to_string(static_cast<int>(cost_us)) + "us"] =
            (sets * (cost_us > 1 ? cost_us : 1.0) + gets * cost_us) / points / 1000;
}
BENCHMARK(sweep_through_gpio)->Iterations(3)->Unit(benchmark::kMillisecond);

} // namespace
