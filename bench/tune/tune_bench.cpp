// talvik-tune's costs: a point of a 201-point sweep against talvik's point,
// both on the simulated instrument with its default 5 us conversions, one
// frame of the live screen at 200x60, and how long a quit takes to end a point
// whose converter never answers in time.
#include "app/sweep.hpp"
#include "common/stop.hpp"
#include "link/backends.hpp"
#include "link/link.hpp"
#include "link/port.hpp"
#include "bench/bench_link.hpp"
#include "tune/tune.hpp"
#include "tune/view.hpp"

#include <benchmark/benchmark.h>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <curses.h>
#include <fcntl.h>
#include <unistd.h>

namespace {

void open_sim() {
    static bool opened = false;
    if (!opened) {
        bench_open("sim:busy=5");
        converter_start();
    }
    opened = true;
}

void tune_point(benchmark::State &state) {
    open_sim();
    tune_settings settings;
    auto words = sweep_words(settings);
    size_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(measure_tune_point(words[i], 1));
        i = (i + 1) % words.size();
    }
}
BENCHMARK(tune_point);

void talvik_point(benchmark::State &state) {
    open_sim();
    std::FILE *results = std::tmpfile();
    std::fflush(stdout);
    int saved = dup(1), null = open("/dev/null", O_WRONLY);
    dup2(null, 1);
    int32_t word = 42949672;
    for (auto _ : state) {
        measure_point(results, word);
        word = word < 400000000 ? word + word / 20 : 42949672;
    }
    std::fflush(stdout);
    dup2(saved, 1);
    close(null);
    close(saved);
    std::fclose(results);
}
BENCHMARK(talvik_point);

// A frame of the view drawn into its cells; the screen writes the cells that
// changed.
void frame_200x60(benchmark::State &state) {
    tune_settings settings;
    view_state view;
    view.settings = &settings;
    for (int i = 0; i < 201; ++i) {
        double hz = 1e6 * std::pow(10.0, i / 200.0);
        double x = (hz / 4e6 - 4e6 / hz) * 4;
        view.last.push_back({hz, -10 * std::log10(1 + x * x * x * x), false});
    }
    view.current = view.last;
    view.markers = marker_summary(view.last, "dBm", 1, 2);
    view.cursor_hz = 4e6;
    view_fit_levels(&view, view.last);
    grid cells;
    for (auto _ : state) {
        view_render(view, &cells, 60, 200);
        benchmark::DoNotOptimize(cells.cells.data());
    }
}
BENCHMARK(frame_200x60)->Unit(benchmark::kMillisecond);

// A quit asked for in the middle of a point of 1000 readings whose every wait
// times out (minutes in all): the time from the ask until the point returns.
// The program adds at most its 20 ms key poll to it.
void quit_in_a_long_point(benchmark::State &state) {
    using steady = std::chrono::steady_clock;
    bench_open("sim:busy=300000");
    static steady::time_point asked;
    for (auto _ : state) {
        asked = steady::now() + std::chrono::milliseconds(5);
        wait_check = [] { return steady::now() < asked; };
        benchmark::DoNotOptimize(measure_tune_point(429496730, 1000));
        state.SetIterationTime(std::chrono::duration<double>(steady::now() - asked).count());
    }
    wait_check = nullptr;
}
BENCHMARK(quit_in_a_long_point)->UseManualTime()->Iterations(20)->Unit(benchmark::kMicrosecond);

} // namespace
