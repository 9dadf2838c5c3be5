// Stopping a run from outside (Control-C and its kin) in the run's own flow:
// the first stop signal only sets a flag, which every wait and loop looks at,
// so that the lines go idle, an adapter is given back, the trace is written
// out and a terminal restored before the process ends by that signal. A
// second one ends it at once.
#pragma once
#include <csignal>

// The signal that asked for a stop, or 0.
extern volatile std::sig_atomic_t stop_signal;

// Set at start: the stop signals (SIGINT, SIGTERM, SIGHUP, SIGPIPE, SIGQUIT;
// Control-C and Control-Break on Windows) set stop_signal. Signals ignored
// when the run started stay ignored (nohup).
void catch_stop_requests();

// Run in the handler in place of ending the process at a second stop
// signal: only calls a signal handler may make. It ends the process, at once
// or as soon as what it waits for is done. Set by an open port trace only.
extern void (*last_words)(int sig);

// Set by a program that must outlive a second stop signal (talvik-tune gives
// the terminal back first): the second is then let pass, the first heeded.
extern volatile std::sig_atomic_t second_stop_ignored;

// Looked at by every wait besides stop_signal, e.g. to read keys; false
// abandons the wait. Null by default.
extern bool (*wait_check)();

// False once a stop is asked for or wait_check says so: a wait ends.
inline bool keep_waiting() { return !stop_signal && (!wait_check || wait_check()); }

// What a stop signal's handler does (the platform's file catches them):
// the first sets stop_signal and returns true; a second hands over to
// last_words, or ends the process.
bool stop_requested(int sig);

// Holds the stop signals back, or lets them in (a no-op where they cannot be
// masked).
void hold_stop_signals(bool hold);

// Ends the process by sig, as if it had never been caught.
[[noreturn]] void die_by_signal(int sig);
