// Port traces: every access of the run, with its time, as text or as a Value
// Change Dump.
#pragma once
#include <cstdint>

extern bool tracing;

// Opens the trace file; a name ending in ".vcd" selects a Value Change Dump.
bool start_trace(const char *path);

// Records one access: kind 'W' for the data register, 'R' for the status.
void trace_access(char kind, uint8_t value);

// Flushes and closes the trace (also done by the end of the process).
void stop_trace();
