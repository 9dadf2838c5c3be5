// What the trace needs of the platform: a file written with plain system
// calls, which a signal handler may also make, and the stop signals.
#pragma once
#include <cstddef>

// A descriptor, or -1 with errno set.
int sink_open(const char *path);
// Writes all of it; false with errno set.
bool sink_write(int fd, const char *bytes, size_t count);
bool sink_close(int fd);

// Sends the signals that end a run from outside (Control-C and its kin) to
// handler.
void catch_stop_signals(void (*handler)(int));
// Holds them back while the trace's buffer is written out, or lets them in.
void hold_stop_signals(bool hold);
// Ends the process by sig, as if it had never been caught.
[[noreturn]] void die_by_signal(int sig);
