// Port traces: every access of the run, with its time, as text or as a Value
// Change Dump. The trace survives the signals that stop a run: it then holds
// every access that reached the port, ending on a complete line.
#pragma once
#include <cstdint>

extern bool tracing;

// Opens the trace file; a name ending in ".vcd" selects a Value Change Dump.
// False with errno set when it cannot be opened.
bool start_trace(const char *path);

// Around each access while tracing: a stop signal that comes between the
// port access and its trace line waits for the line.
void hold_trace();
void release_trace();

// Records one access: kind 'W' for the data register, 'R' for the status.
// A trace that cannot be written ends the run with status 1.
void trace_access(char kind, uint8_t value);

// Writes out and closes the trace; on failure says so on standard error and
// returns false.
bool stop_trace();
