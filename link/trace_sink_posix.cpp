#include "link/trace_sink.hpp"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>

namespace {
const int stop_signals[] = {SIGINT, SIGTERM, SIGHUP, SIGPIPE};
}

int sink_open(const char *path) { return open(path, O_WRONLY | O_CREAT | O_TRUNC, 0644); }

bool sink_write(int fd, const char *bytes, size_t count) {
    while (count > 0) {
        ssize_t n = write(fd, bytes, count);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (n == 0)
                errno = ENOSPC;
            return false;
        }
        bytes += n;
        count -= static_cast<size_t>(n);
    }
    return true;
}

bool sink_close(int fd) { return close(fd) == 0; }

void catch_stop_signals(void (*handler)(int)) {
    struct sigaction action = {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    for (int sig : stop_signals)
        sigaddset(&action.sa_mask, sig);
    for (int sig : stop_signals) {
        // A signal ignored when the run started stays ignored (nohup).
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
