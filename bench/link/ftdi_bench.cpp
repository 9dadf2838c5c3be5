// A sweep through an FTDI adapter, streamed: the time per point on the chip's
// stand-in, whose clock models real USB by these rules: the chip clocks a
// byte a microsecond while its chip-to-host FIFO has room; a full packet (62
// data bytes on the FT232R, 510 on the high-speed chips) reaches the host at
// once; a short one waits for the latency timer (1 ms); a synchronous write
// costs a frame (1 ms at full speed, 125 us at high speed). Also counted per
// point: bytes, USB writes and latency tails; and talvik-tune's sweeps per
// second at 201 points.
#include "app/settings.hpp"
#include "app/sweep.hpp"
#include "link/backends.hpp"
#include "link/ftdi_standin.hpp"
#include "link/link.hpp"
#include "link/port.hpp"
#include "bench/bench_link.hpp"
#include "tune/tune.hpp"

#include <benchmark/benchmark.h>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

namespace {

// Standard output to nowhere while the sweep's live lines go by.
struct quiet_stdout {
    int saved;
    quiet_stdout() {
        std::fflush(stdout);
        saved = dup(1);
        int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        close(null);
    }
    ~quiet_stdout() {
        std::fflush(stdout);
        dup2(saved, 1);
        close(saved);
    }
};

void sweep_through(benchmark::State &state, ftdi_standin::chip_kind type) {
    double points = 0, us = 0, bytes = 0, writes = 0, tails = 0;
    for (auto _ : state) {
        ftdi_standin::settings s;
        s.type = type;
        ftdi_standin::reset(s);
        bench_open("ftdi");
        converter_start(); // measured apart: the sweep's own start-up is taken off
        auto before = ftdi_standin::done;
        converter_start();
        auto started = ftdi_standin::done;
        start_word = 42949672;
        end_word = 429496729;
        step_divisor = 20;
        std::FILE *results = std::tmpfile();
        {
            quiet_stdout quiet;
            run_sweep(results);
        }
        auto after = ftdi_standin::done;
        // The sweep less its own start-up, which costs what the one before did.
        auto less_start_up = [&](auto field) {
            return static_cast<double>((after.*field - started.*field) -
                                       (started.*field - before.*field));
        };
        points += static_cast<double>(tally.points);
        us += less_start_up(&ftdi_standin::record::virtual_us);
        bytes += less_start_up(&ftdi_standin::record::bytes);
        writes += less_start_up(&ftdi_standin::record::transfers);
        tails += less_start_up(&ftdi_standin::record::latency_tails);
        bench_close();
        std::fclose(results);
    }
    state.counters["model_ms_per_point"] = us / points / 1000;
    state.counters["bytes_per_point"] = bytes / points;
    state.counters["writes_per_point"] = writes / points;
    state.counters["tails_per_point"] = tails / points;
}

// talvik-tune's sweep: 201 log-spaced points from 1 to 10 MHz, streamed.
void tune_sweeps_through(benchmark::State &state, ftdi_standin::chip_kind type) {
    double us = 0, sweeps = 0;
    for (auto _ : state) {
        ftdi_standin::settings s;
        s.type = type;
        ftdi_standin::reset(s);
        bench_open("ftdi");
        converter_start();
        tune_settings settings;
        auto words = sweep_words(settings);
        auto before = ftdi_standin::done;
        std::vector<tune_point> points(words.size());
        stream_tune_sweep(words, points);
        us += ftdi_standin::done.virtual_us - before.virtual_us;
        sweeps += 1;
        bench_close();
    }
    state.counters["model_sweeps_per_s"] = sweeps / (us / 1e6);
}

void ft232r_sweep(benchmark::State &state) { sweep_through(state, ftdi_standin::ft232r); }
void ft232h_sweep(benchmark::State &state) { sweep_through(state, ftdi_standin::ft232h); }
void ft232r_tune(benchmark::State &state) { tune_sweeps_through(state, ftdi_standin::ft232r); }
void ft232h_tune(benchmark::State &state) { tune_sweeps_through(state, ftdi_standin::ft232h); }
BENCHMARK(ft232r_sweep)->Iterations(5)->Unit(benchmark::kMillisecond);
BENCHMARK(ft232h_sweep)->Iterations(5)->Unit(benchmark::kMillisecond);
BENCHMARK(ft232r_tune)->Iterations(5)->Unit(benchmark::kMillisecond);
BENCHMARK(ft232h_tune)->Iterations(5)->Unit(benchmark::kMillisecond);

} // namespace
