#include "link/trace_sink.hpp"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

int sink_open(const char *path) {
    return _open(path, _O_WRONLY | _O_CREAT | _O_TRUNC | _O_BINARY, _S_IREAD | _S_IWRITE);
}

bool sink_write(int fd, const char *bytes, size_t count) {
    while (count > 0) {
        int n = _write(fd, bytes, static_cast<unsigned>(count));
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

bool sink_close(int fd) { return _close(fd) == 0; }

void catch_stop_signals(void (*handler)(int)) {
    std::signal(SIGINT, handler);
    std::signal(SIGTERM, handler);
    std::signal(SIGBREAK, handler);
}

// Windows delivers Control-C on a thread of its own; there is no mask.
void hold_stop_signals(bool) {}

void die_by_signal(int sig) {
    std::signal(sig, SIG_DFL);
    std::raise(sig);
    std::_Exit(3); // the status the console's Control-C gives
}
