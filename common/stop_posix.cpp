#include "common/stop.hpp"

#include <signal.h>
#include <unistd.h>

namespace {

// Every signal whose default ends the process without a core: each way out
// reaches idle lines and a restored terminal first.
const int stop_signals[] = {SIGINT, SIGTERM, SIGHUP, SIGPIPE, SIGQUIT, SIGUSR1, SIGUSR2, SIGALRM};

void on_stop(int sig) { stop_requested(sig); }

} // namespace

void catch_stop_requests() {
    struct sigaction action = {};
    action.sa_handler = on_stop;
    // A write to a slow terminal or pipe goes on: its failure would be a
    // false write error.
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    for (int sig : stop_signals)
        sigaddset(&action.sa_mask, sig);
    for (int sig : stop_signals) {
        struct sigaction before;
        if (sigaction(sig, nullptr, &before) == 0 && before.sa_handler == SIG_IGN)
            continue;
        sigaction(sig, &action, nullptr);
    }
}

void hold_stop_signals(bool hold) {
    sigset_t set;
    sigemptyset(&set);
    for (int sig : stop_signals)
        sigaddset(&set, sig);
    sigprocmask(hold ? SIG_BLOCK : SIG_UNBLOCK, &set, nullptr);
}

void die_by_signal(int sig) {
    signal(sig, SIG_DFL);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, sig);
    sigprocmask(SIG_UNBLOCK, &set, nullptr);
    raise(sig);
    _exit(128 + sig); // not reached
}
