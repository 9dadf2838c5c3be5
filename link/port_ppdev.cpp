// The Linux parallel-port device: the port is claimed once, then every access
// is a single ioctl on the raw registers.
#include "common/exit_status.hpp"
#include "link/backends.hpp"
#include "link/sys.hpp"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/ioctl.h>
// after sys/ioctl.h, which defines the request macros it uses
#include <linux/ppdev.h>
#include <sys/stat.h>

namespace {

int fd = -1;
char device[256];

const char *hint_for(int error) {
    switch (error) {
    case ENOENT:
        return "; is the ppdev module loaded? modprobe ppdev";
    case EACCES:
    case EPERM:
        return "; add your user to the lp group";
    case EBUSY:
        return "; another program holds the port";
    case ENXIO:
    case ENODEV:
        return "; no parallel port behind this device";
    case ENOTTY:
    case EINVAL:
        return "; not a parallel port";
    default:
        return "";
    }
}

void close_device() {
    if (fd >= 0)
        sys::close(fd);
    fd = -1;
}

bool fail(char *reason, size_t size, int error) {
    std::snprintf(reason, size, "%s%s", std::strerror(error), hint_for(error));
    close_device();
    return false;
}

// A port that stops answering mid-sweep would only yield wrong readings.
// The device is let go first: the exit that follows touches it no more.
[[noreturn]] void lost(int error) {
    close_device();
    port_lost(device, std::strerror(error), 0);
}

bool ppdev_open(const char *path, char *reason, size_t size) {
    std::snprintf(device, sizeof device, "%s", path);
    fd = sys::open(path, O_RDWR);
    if (fd < 0)
        return fail(reason, size, errno);
    struct stat info;
    if (sys::fstat(fd, &info) != 0)
        return fail(reason, size, errno);
    if (!S_ISCHR(info.st_mode)) {
        std::snprintf(reason, size, "not a device file; not a parallel port");
        close_device();
        return false;
    }
    if (sys::ioctl(fd, PPCLAIM, nullptr) != 0)
        return fail(reason, size, errno);
    return true;
}

const char *ppdev_close() {
    if (fd < 0)
        return nullptr;
    sys::ioctl(fd, PPRELEASE, nullptr);
    close_device();
    return nullptr;
}

void ppdev_set_data(uint8_t value) {
    if (fd >= 0 && sys::ioctl(fd, PPWDATA, &value) != 0)
        lost(errno);
}

uint8_t ppdev_get_status() {
    unsigned char value = 0;
    if (fd >= 0 && sys::ioctl(fd, PPRSTATUS, &value) != 0)
        lost(errno);
    return value;
}

} // namespace

extern const port_backend ppdev_port = {"ppdev",        ppdev_open,       ppdev_close,
                                        ppdev_set_data, ppdev_get_status, nullptr};
