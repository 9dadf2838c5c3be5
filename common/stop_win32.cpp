#include "common/stop.hpp"

#include <cstdlib>
#include <windows.h>

volatile std::sig_atomic_t stop_signal = 0;
void (*last_words)(int sig) = nullptr;
bool (*wait_check)() = nullptr;

namespace {

const int stop_signals[] = {SIGINT, SIGTERM, SIGBREAK};

// Windows runs it on a thread of its own and resets the handler first.
void on_stop(int sig) {
    std::signal(sig, on_stop);
    if (!stop_signal) {
        stop_signal = sig;
        // A closed console window ends the process once this returns: give
        // the run's own flow time to set the lines idle and write the trace.
        if (sig == SIGBREAK)
            Sleep(4000);
        return;
    }
    if (last_words)
        last_words(sig); // ends the process, now or once its access is traced
    else
        die_by_signal(sig);
}

} // namespace

void catch_stop_requests() {
    for (int sig : stop_signals)
        std::signal(sig, on_stop);
}

// Windows delivers Control-C on a thread of its own; there is no mask.
void hold_stop_signals(bool) {}

void die_by_signal(int sig) {
    std::signal(sig, SIG_DFL);
    std::raise(sig);
    std::_Exit(3); // the status the console's Control-C gives
}
