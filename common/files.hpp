// File and stream helpers whose workings differ between platforms.
#pragma once
#include <cstdio>

// Opens the null device on standard input, output and error where they are
// closed, so that no file the program opens takes their place.
void protect_std_streams();

// A write past the process's file size limit fails with a reason instead of
// killing the run, so that the line it tore can be cut back.
void fail_oversize_writes();

// Cuts file back to length bytes and leaves its position there.
bool truncate_file(std::FILE *file, long long length);

// True when both names reach the same file, whether it exists yet or not.
bool same_file(const char *a, const char *b);
