#include "common/clock.hpp"

#include "common/stop.hpp"

#include <chrono>

namespace {

using steady = std::chrono::steady_clock;

// Initialised before main() runs, so tick 0 is the program's start.
const steady::time_point program_start = steady::now();

int32_t real_ticks() {
    auto elapsed = steady::now() - program_start;
    return static_cast<int32_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count());
}

tick_source_fn tick_source = real_ticks;

} // namespace

int32_t tick_clock() { return tick_source(); }

void delay_ticks(int32_t n) {
    if (n <= 0)
        return;
    // The count is scaled as n * 1000 / 1000: a tick is a millisecond.
    int32_t until = tick_clock() + n * 1000 / 1000;
    while (tick_clock() < until && keep_waiting()) {
    }
}

int64_t micros_since_start() {
    auto elapsed = steady::now() - program_start;
    return std::chrono::duration_cast<std::chrono::microseconds>(elapsed).count();
}

void set_tick_source(tick_source_fn fn) { tick_source = fn ? fn : real_ticks; }
