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

bool save_whole(const std::string &name, const std::string &bytes, std::string *reason,
                bool *taken) {
    struct stat info;
    bool exists = stat(name.c_str(), &info) == 0;
    if (taken)
        *taken = exists || lstat(name.c_str(), &info) == 0;
    if (taken && *taken) {
        *reason = name + ": " + std::strerror(EEXIST);
        return false;
    }
    if (exists && !S_ISREG(info.st_mode)) {
        *reason = name + ": " +
                  (S_ISDIR(info.st_mode) ? std::strerror(EISDIR)
                                         : "not a regular file; name a file to save to");
        return false;
    }
    // A file the user made read-only is not replaced behind their back.
    if (exists && access(name.c_str(), W_OK) != 0) {
        *reason = name + ": " + std::strerror(errno);
        return false;
    }
    // Through a link, the file it names is replaced, and the link kept.
    std::string target = resolved(name.c_str());
    // Beside it, under a short name: a long name plus a suffix could pass
    // the file system's limit on a name.
    size_t slash = target.rfind('/');
    std::string partial =
        (slash == std::string::npos ? std::string() : target.substr(0, slash + 1)) + ".talvik-save-XXXXXX";
    int fd = mkstemp(partial.data());
    if (fd < 0) {
        *reason = name + ": " + std::strerror(errno);
        return false;
    }
    mode_t mask = umask(0); // as a file created by name would be, not mkstemp's 0600
    umask(mask);
    fchmod(fd, 0666 & ~mask);
    bool ok = true;
    for (size_t done = 0; ok && done < bytes.size();) {
        ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        ok = n > 0;
        done += ok ? static_cast<size_t>(n) : 0;
    }
    ok = ok && fsync(fd) == 0;
    int error = errno;
    if (close(fd) != 0 && ok) {
        error = errno;
        ok = false;
    }
    if (ok && !taken && std::rename(partial.c_str(), target.c_str()) != 0) {
        error = errno;
        ok = false;
    }
    // A new file only: link() fails where the name is taken, even by a file
    // made since it was looked at.
    if (ok && taken && link(partial.c_str(), target.c_str()) != 0) {
        error = errno;
        if (error == EPERM || error == ENOTSUP || error == EOPNOTSUPP || error == ENOSYS) {
            // No hard links here (a FAT stick, some network shares): the
            // name is taken by creating it, then the file renamed over it.
            int placeholder = open(target.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0666);
            error = placeholder < 0 ? errno : 0;
            if (placeholder >= 0)
                close(placeholder);
            if (placeholder >= 0 && std::rename(partial.c_str(), target.c_str()) != 0) {
                error = errno;
                unlink(target.c_str());
            }
            *taken = error == EEXIST;
            ok = error == 0;
            if (ok)
                return true; // the partial file is the target now
        } else {
            *taken = error == EEXIST;
            ok = false;
        }
    }
    if (ok && taken)
        unlink(partial.c_str());
    if (!ok) {
        std::remove(partial.c_str());
        *reason = name + ": " + std::strerror(error);
    }
    return ok;
}

std::string config_dir() {
    const char *xdg = std::getenv("XDG_CONFIG_HOME");
    if (xdg && *xdg == '/')
        return xdg;
    const char *home = std::getenv("HOME");
    return home && *home ? std::string(home) + "/.config" : std::string();
}

bool make_parent_dirs(const std::string &path, std::string *reason) {
    for (size_t at = path.find('/', 1); at != std::string::npos; at = path.find('/', at + 1)) {
        std::string dir = path.substr(0, at);
        if (mkdir(dir.c_str(), 0777) != 0 && errno != EEXIST) {
            *reason = dir + ": cannot make this folder: " + std::strerror(errno);
            return false;
        }
    }
    return true;
}
