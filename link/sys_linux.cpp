#include "link/sys.hpp"

#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace sys {

int open(const char *path, int flags) { return ::open(path, flags | O_CLOEXEC); }
int close(int fd) { return ::close(fd); }
int fstat(int fd, struct stat *info) { return ::fstat(fd, info); }
int lstat(const char *path, struct stat *info) { return ::lstat(path, info); }
ssize_t readlink(const char *path, char *text, size_t size) {
    return ::readlink(path, text, size);
}
int ioctl(int fd, unsigned long request, void *arg) { return ::ioctl(fd, request, arg); }

void *open_dir(const char *path) { return ::opendir(path); }
const char *read_dir(void *dir) {
    errno = 0;
    dirent *entry = ::readdir(static_cast<DIR *>(dir));
    return entry ? entry->d_name : nullptr;
}
void close_dir(void *dir) { ::closedir(static_cast<DIR *>(dir)); }

} // namespace sys
