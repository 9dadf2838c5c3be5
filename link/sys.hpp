// The system calls the real port backends make, as plain functions so that
// tests can link their own in place of these.
#pragma once
#include <cstdint>

struct stat;

namespace sys {

int open(const char *path, int flags);
int close(int fd);
int fstat(int fd, struct stat *info);
int ioctl(int fd, unsigned long request, void *arg);

// Direct port I/O (x86 only).
int ioperm(unsigned long from, unsigned long count, int on);
int iopl(int level);
void outb(uint8_t value, uint16_t port);
uint8_t inb(uint16_t port);

} // namespace sys
