#include "common/stop.hpp"

#include <cstdlib>
#include <windows.h>

namespace {

const int stop_signals[] = {SIGINT, SIGTERM, SIGBREAK};

// Windows runs it on a thread of its own and resets the handler first.
void on_stop(int sig) {
    std::signal(sig, on_stop);
    // A closed console window ends the process once this returns: give the
    // run's own flow time to set the lines idle and write the trace.
    if (stop_requested(sig) && sig == SIGBREAK)
        Sleep(4000);
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
