// The system calls the real port backends make, as plain functions so that
// tests can link their own in place of these.
#pragma once
#include <cstddef>
#include <cstdint>
#include <sys/types.h>

struct stat;

namespace sys {

int open(const char *path, int flags);
int close(int fd);
int fstat(int fd, struct stat *info);
int lstat(const char *path, struct stat *info); // the entry itself, not where a link points
ssize_t readlink(const char *path, char *text, size_t size);
int ioctl(int fd, unsigned long request, void *arg);

// A directory's entries: open, then one name a call (nullptr at the end, or
// on an error, errno telling which), then close.
void *open_dir(const char *path);
const char *read_dir(void *dir);
void close_dir(void *dir);

// Direct port I/O (x86 only).
int ioperm(unsigned long from, unsigned long count, int on);
int iopl(int level);
void outb(uint8_t value, uint16_t port);
uint8_t inb(uint16_t port);

} // namespace sys
