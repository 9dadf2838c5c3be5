#include "link/trace_sink.hpp"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

int sink_open(const char *path) { return open(path, O_WRONLY | O_CREAT | O_TRUNC, 0644); }

bool sink_write(int fd, const char *bytes, size_t count, size_t *done) {
    *done = 0;
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
        *done += static_cast<size_t>(n);
    }
    return true;
}

bool sink_truncate(int fd, long long length) { return ftruncate(fd, static_cast<off_t>(length)) == 0; }

bool sink_close(int fd) { return close(fd) == 0; }
