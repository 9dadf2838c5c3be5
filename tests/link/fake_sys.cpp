#include "link/fake_sys.hpp"

#include "link/sys.hpp"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <linux/ppdev.h>
#include <sys/ioctl.h>
#include <sys/stat.h>

namespace fake_sys {

std::map<std::string, device> devices;
std::vector<std::string> calls;
uint8_t status = 0;
int ioperm_errno = 0;

namespace {
const int first_fd = 7;
std::string open_path;

std::string hex(unsigned value) {
    char text[8];
    std::snprintf(text, sizeof text, "%02X", value);
    return text;
}
} // namespace

void reset() {
    devices.clear();
    calls.clear();
    status = 0;
    ioperm_errno = 0;
}

} // namespace fake_sys

using namespace fake_sys;

namespace sys {

int open(const char *path, int) {
    calls.push_back(std::string("open ") + path);
    auto d = devices.find(path);
    int error = d == devices.end() ? ENOENT : d->second.open_errno;
    if (error) {
        errno = error;
        return -1;
    }
    open_path = path;
    return first_fd;
}

int close(int fd) {
    calls.push_back("close " + std::to_string(fd));
    return 0;
}

int fstat(int, struct stat *info) {
    calls.push_back("fstat");
    std::memset(info, 0, sizeof *info);
    info->st_mode = devices[open_path].regular ? S_IFREG : S_IFCHR;
    return 0;
}

int ioctl(int, unsigned long request, void *arg) {
    const device &d = devices[open_path];
    int error = 0;
    if (request == PPCLAIM) {
        calls.push_back("PPCLAIM");
        error = d.claim_errno;
    } else if (request == PPRELEASE) {
        calls.push_back("PPRELEASE");
    } else if (request == PPWDATA) {
        calls.push_back("PPWDATA " + hex(*static_cast<unsigned char *>(arg)));
        error = d.access_errno;
    } else if (request == PPRSTATUS) {
        *static_cast<unsigned char *>(arg) = status;
        calls.push_back("PPRSTATUS " + hex(status));
        error = d.access_errno;
    } else {
        calls.push_back("ioctl " + std::to_string(request));
    }
    if (error) {
        errno = error;
        return -1;
    }
    return 0;
}

int ioperm(unsigned long from, unsigned long count, int on) {
    calls.push_back("ioperm " + hex(static_cast<unsigned>(from)) + " " + std::to_string(count) +
                    " " + std::to_string(on));
    if (ioperm_errno) {
        errno = ioperm_errno;
        return -1;
    }
    return 0;
}

int iopl(int level) {
    calls.push_back("iopl " + std::to_string(level));
    if (ioperm_errno) {
        errno = ioperm_errno;
        return -1;
    }
    return 0;
}

void outb(uint8_t value, uint16_t port) { calls.push_back("outb " + hex(value) + " " + hex(port)); }

uint8_t inb(uint16_t port) {
    calls.push_back("inb " + hex(port) + " " + hex(status));
    return status;
}

} // namespace sys
