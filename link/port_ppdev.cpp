// The Linux parallel-port device: the port is claimed once, then every access
// is a single ioctl on the raw registers.
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

struct ppdev {
    int fd = -1;
    char device[160] = ""; // as a loss names it
};

ppdev &dev(void *self) { return *static_cast<ppdev *>(self); }

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

void close_device(ppdev &p) {
    if (p.fd >= 0)
        sys::close(p.fd);
    p.fd = -1;
}

void *fail(ppdev *p, char *reason, size_t size, int error) {
    std::snprintf(reason, size, "%s%s", std::strerror(error), hint_for(error));
    close_device(*p);
    delete p;
    return nullptr;
}

// A port that stops answering mid-sweep would only yield wrong readings.
// The device is let go first: nothing touches it any more.
bool lost(ppdev &p, int error, port_fault *fault) {
    close_device(p);
    std::snprintf(fault->port, sizeof fault->port, "%s", p.device);
    std::snprintf(fault->why, sizeof fault->why, "%s", std::strerror(error));
    fault->reached = 0;
    return false;
}

void *ppdev_open(const char *path, const port_notes &, char *reason, size_t size) {
    auto *p = new ppdev;
    std::snprintf(p->device, sizeof p->device, "%s", path);
    p->fd = sys::open(path, O_RDWR);
    if (p->fd < 0)
        return fail(p, reason, size, errno);
    struct stat info;
    if (sys::fstat(p->fd, &info) != 0)
        return fail(p, reason, size, errno);
    if (!S_ISCHR(info.st_mode)) {
        std::snprintf(reason, size, "not a device file; not a parallel port");
        close_device(*p);
        delete p;
        return nullptr;
    }
    if (sys::ioctl(p->fd, PPCLAIM, nullptr) != 0)
        return fail(p, reason, size, errno);
    return p;
}

bool ppdev_close(void *self, char *, size_t) {
    ppdev &p = dev(self);
    if (p.fd >= 0)
        sys::ioctl(p.fd, PPRELEASE, nullptr);
    close_device(p);
    delete &p;
    return true;
}

// A device let go of answers nothing: never a made-up status.
bool ppdev_set_data(void *self, uint8_t value, port_fault *fault) {
    ppdev &p = dev(self);
    if (p.fd < 0)
        return lost(p, EBADF, fault);
    if (sys::ioctl(p.fd, PPWDATA, &value) != 0)
        return lost(p, errno, fault);
    return true;
}

bool ppdev_get_status(void *self, uint8_t *value, port_fault *fault) {
    ppdev &p = dev(self);
    unsigned char status = 0;
    if (p.fd < 0)
        return lost(p, EBADF, fault);
    if (sys::ioctl(p.fd, PPRSTATUS, &status) != 0)
        return lost(p, errno, fault);
    *value = status;
    return true;
}

} // namespace

extern const port_backend ppdev_port = {
    .name = "ppdev",
    .open = ppdev_open,
    .close = ppdev_close,
    .set_data = ppdev_set_data,
    .get_status = ppdev_get_status,
};
