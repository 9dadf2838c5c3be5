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

// The file a name will reach once created: its links followed (a dangling
// link creates its target) and its folder resolved.
std::string resolved(const char *name) {
    std::string path = name;
    for (int links = 0; links < 40; ++links) {
        struct stat info;
        if (lstat(path.c_str(), &info) != 0 || !S_ISLNK(info.st_mode))
            break;
        char target[PATH_MAX];
        ssize_t n = readlink(path.c_str(), target, sizeof target - 1);
        if (n < 0)
            break;
        target[n] = '\0';
        size_t slash = path.rfind('/');
        path = target[0] == '/' || slash == std::string::npos
                   ? std::string(target)
                   : path.substr(0, slash + 1) + target;
    }
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
