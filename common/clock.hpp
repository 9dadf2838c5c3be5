// Real-time clock of the run: ticks are milliseconds since the program started.
#pragma once
#include <cstdint>

// Milliseconds of a monotonic clock since start-up (wall time, not CPU time).
int32_t tick_clock();

// Busy-waits until tick_clock() is no longer below its value on entry plus n.
void delay_ticks(int32_t n);

// Microseconds since start-up, for port traces.
int64_t micros_since_start();

// Tests replace the tick source to drive time-outs without waiting; nullptr
// restores the real clock.
using tick_source_fn = int32_t (*)();
void set_tick_source(tick_source_fn fn);
