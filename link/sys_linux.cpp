#include "link/sys.hpp"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace sys {

int open(const char *path, int flags) { return ::open(path, flags); }
int close(int fd) { return ::close(fd); }
int fstat(int fd, struct stat *info) { return ::fstat(fd, info); }
int ioctl(int fd, unsigned long request, void *arg) { return ::ioctl(fd, request, arg); }

} // namespace sys
