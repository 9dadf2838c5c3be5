// What the trace needs of the platform: a file written with plain system
// calls, which a signal handler may also make.
#pragma once
#include <cstddef>

// A descriptor, or -1 with errno set.
int sink_open(const char *path);
// Writes all of it; false with errno set. done: how much was written.
bool sink_write(int fd, const char *bytes, size_t count, size_t *done);
// Cuts the file back to length bytes.
bool sink_truncate(int fd, long long length);
bool sink_close(int fd);

