#include "link/trace_sink.hpp"

#include <cerrno>
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

int sink_open(const char *path) {
    return _open(path, _O_WRONLY | _O_CREAT | _O_TRUNC | _O_BINARY, _S_IREAD | _S_IWRITE);
}

bool sink_write(int fd, const char *bytes, size_t count, size_t *done) {
    *done = 0;
    while (count > 0) {
        int n = _write(fd, bytes, static_cast<unsigned>(count));
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

bool sink_truncate(int fd, long long length) { return _chsize_s(fd, length) == 0; }

bool sink_close(int fd) { return _close(fd) == 0; }
