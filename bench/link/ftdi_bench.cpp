// A sweep point through an FTDI adapter: USB round trips and bytes, counted
// on the chip's stand-in, and the time per point they model on real USB.
//
// Model, per point: every USB write takes one frame to go out (1 ms at full
// speed, the FT232R; a 125 us microframe at high speed, the FT232H); every
// round trip then waits for the latency timer (1 ms), which sends the
// samples back, and one more frame for them to come in; every byte is
// clocked at the bit-bang rate of 1 us. Nothing else is counted.
#include "app/sweep.hpp"
#include "link/backends.hpp"
#include "link/ftdi_standin.hpp"
#include "link/link.hpp"

#include <benchmark/benchmark.h>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

namespace {

void point_through(benchmark::State &state, ftdi_chip_type type, double frame_ms) {
    ftdi_standin::settings s;
    s.type = type;
    ftdi_standin::reset(s);
    char reason[400];
    if (!ftdi_port.open("", reason, sizeof reason)) {
        state.SkipWithError(reason);
        return;
    }
    use_port(&ftdi_port);
    write_data(idle_lines);
    converter_start();
    std::FILE *results = std::tmpfile();
    // The live line goes nowhere, as in a redirected sweep.
    std::fflush(stdout);
    int saved_stdout = dup(1);
    int null = open("/dev/null", O_WRONLY);
    dup2(null, 1);
    auto before = ftdi_standin::done;
    int32_t word = 42949672;
    for (auto _ : state) {
        measure_point(results, word);
        word = word < 400000000 ? word + word / 20 : 42949672;
    }
    auto after = ftdi_standin::done;
    double points = static_cast<double>(state.iterations());
    double trips = (after.round_trips - before.round_trips) / points;
    double transfers = (after.transfers - before.transfers) / points;
    double bytes = (after.bytes - before.bytes) / points;
    state.counters["round_trips"] = trips;
    state.counters["usb_writes"] = transfers;
    state.counters["bytes"] = bytes;
    state.counters["model_ms"] = transfers * frame_ms + trips * (1.0 + frame_ms) + bytes * 0.001;
    std::fflush(stdout);
    dup2(saved_stdout, 1);
    close(null);
    close(saved_stdout);
    ftdi_port.close();
    std::fclose(results);
}

void ft232r_point(benchmark::State &state) { point_through(state, TYPE_R, 1.0); }
void ft232h_point(benchmark::State &state) { point_through(state, TYPE_232H, 0.125); }
BENCHMARK(ft232r_point)->Iterations(200);
BENCHMARK(ft232h_point)->Iterations(200);

} // namespace
