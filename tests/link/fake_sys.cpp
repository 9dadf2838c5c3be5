#include "link/fake_sys.hpp"

#include "link/gpio_standin.hpp"
#include "link/sys.hpp"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <linux/gpio.h>
#include <linux/ppdev.h>
#include <sys/ioctl.h>
#include <sys/stat.h>

namespace fake_sys {

std::map<std::string, device> devices;
std::vector<std::string> calls;
uint8_t status = 0;
int ioperm_errno = 0;
std::map<int, open_file> files;

namespace {
// The lowest free descriptor, as the kernel gives them.
int free_fd() {
    int fd = 7;
    while (files.count(fd))
        ++fd;
    return fd;
}

std::string hex(unsigned value) {
    char text[8];
    std::snprintf(text, sizeof text, "%02X", value);
    return text;
}

int fail(int error) {
    errno = error;
    return -1;
}

struct listing {
    std::vector<std::string> names;
    size_t next = 0;
};
} // namespace

void reset() {
    devices.clear();
    calls.clear();
    files.clear();
    status = 0;
    ioperm_errno = 0;
}

} // namespace fake_sys

using namespace fake_sys;

namespace sys {

int open(const char *path, int) {
    calls.push_back(std::string("open ") + path);
    int chip = -1;
    auto d = devices.find(path);
    int error = d != devices.end() ? d->second.open_errno : gpio_standin::open(path, &chip);
    if (error < 0)
        error = ENOENT;
    if (error)
        return fail(error);
    int fd = free_fd();
    files[fd] = {path, chip, -1};
    return fd;
}

int close(int fd) {
    calls.push_back("close " + std::to_string(fd));
    auto f = files.find(fd);
    if (f == files.end())
        return fail(EBADF);
    if (f->second.request >= 0)
        gpio_standin::release(f->second.request);
    files.erase(f);
    return 0;
}

int fstat(int fd, struct stat *info) {
    calls.push_back("fstat");
    auto f = files.find(fd);
    if (f == files.end())
        return fail(EBADF);
    if (!devices.count(f->second.path) && gpio_standin::stat(f->second.path, info, true) == 0)
        return 0;
    std::memset(info, 0, sizeof *info);
    info->st_mode = devices[f->second.path].regular ? S_IFREG : S_IFCHR;
    return 0;
}

int lstat(const char *path, struct stat *info) {
    return gpio_standin::stat(path, info, false) == 0 ? 0 : fail(ENOENT);
}

ssize_t readlink(const char *path, char *text, size_t size) {
    std::string target;
    if (int error = gpio_standin::readlink(path, &target))
        return fail(error);
    size_t n = std::min(size, target.size()); // cut short and not ended, as readlink does
    std::memcpy(text, target.data(), n);
    return static_cast<ssize_t>(n);
}

void *open_dir(const char *path) {
    if (std::strcmp(path, "/dev") != 0) {
        errno = ENOENT;
        return nullptr;
    }
    return new listing{gpio_standin::dev_entries()};
}

const char *read_dir(void *dir) {
    auto *l = static_cast<listing *>(dir);
    errno = 0; // the end, not an error
    return l->next < l->names.size() ? l->names[l->next++].c_str() : nullptr;
}

void close_dir(void *dir) { delete static_cast<listing *>(dir); }

int ioctl(int fd, unsigned long request, void *arg) {
    auto f = files.find(fd);
    if (f == files.end())
        return fail(EBADF);
    if (f->second.chip >= 0) {
        int made = -1;
        int error = gpio_standin::chip_ioctl(f->second.chip, request, arg, &made);
        if (error)
            return fail(error);
        if (made >= 0) {
            int fd = free_fd();
            files[fd] = {"", -1, made};
            static_cast<gpio_v2_line_request *>(arg)->fd = fd;
        }
        return 0;
    }
    if (f->second.request >= 0) {
        int error = gpio_standin::request_ioctl(f->second.request, request, arg);
        return error ? fail(error) : 0;
    }
    const device &d = devices[f->second.path];
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
        error = ENOTTY;
    }
    return error ? fail(error) : 0;
}

int ioperm(unsigned long from, unsigned long count, int on) {
    calls.push_back("ioperm " + hex(static_cast<unsigned>(from)) + " " + std::to_string(count) +
                    " " + std::to_string(on));
    return ioperm_errno ? fail(ioperm_errno) : 0;
}

int iopl(int level) {
    calls.push_back("iopl " + std::to_string(level));
    return ioperm_errno ? fail(ioperm_errno) : 0;
}

void outb(uint8_t value, uint16_t port) { calls.push_back("outb " + hex(value) + " " + hex(port)); }

uint8_t inb(uint16_t port) {
    calls.push_back("inb " + hex(port) + " " + hex(status));
    return status;
}

} // namespace sys
