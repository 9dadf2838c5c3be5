#include "common/files.hpp"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

void protect_std_streams() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF)
            continue;
        // open() takes the lowest free descriptor: this one.
        int null = open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
        if (null >= 0 && null != fd) {
            dup2(null, fd);
            close(null);
        }
    }
}

void fail_oversize_writes() { std::signal(SIGXFSZ, SIG_IGN); }

bool truncate_file(std::FILE *file, long long length) {
    int fd = fileno(file);
    return ftruncate(fd, static_cast<off_t>(length)) == 0 &&
           lseek(fd, static_cast<off_t>(length), SEEK_SET) == length;
}

namespace {

// The name with its folder resolved: for a file that does not exist yet.
std::string resolved(const char *name) {
    std::string path = name;
    size_t slash = path.rfind('/');
    std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
    char real[PATH_MAX];
    if (!realpath(dir.c_str(), real))
        return path;
    return std::string(real) + "/" + base;
}

} // namespace

bool same_file(const char *a, const char *b) {
    struct stat sa, sb;
    bool has_a = stat(a, &sa) == 0, has_b = stat(b, &sb) == 0;
    if (has_a && has_b)
        return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
    if (has_a || has_b)
        return false;
    return resolved(a) == resolved(b);
}
