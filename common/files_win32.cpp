#include "common/files.hpp"

#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <io.h>
#include <string>

void protect_std_streams() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (_get_osfhandle(fd) != -1)
            continue;
        int null = _open("NUL", fd == 0 ? _O_RDONLY : _O_WRONLY);
        if (null >= 0 && null != fd) {
            _dup2(null, fd);
            _close(null);
        }
    }
}

// Windows has no file size limit of the process.
void fail_oversize_writes() {}

bool truncate_file(std::FILE *file, long long length) {
    int fd = _fileno(file);
    return _chsize_s(fd, length) == 0 && _lseeki64(fd, length, SEEK_SET) == length;
}

bool same_file(const char *a, const char *b) {
    // Windows names are compared whole and without regard to case.
    char full_a[_MAX_PATH], full_b[_MAX_PATH];
    if (!_fullpath(full_a, a, sizeof full_a) || !_fullpath(full_b, b, sizeof full_b))
        return false;
    return _stricmp(full_a, full_b) == 0;
}
