// File and stream helpers whose workings differ between platforms.
#pragma once
#include <cstdio>
#include <string>

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

// Writes bytes to name whole: to a temporary file beside it, flushed to the
// disk, then renamed into place, so that no partial file ever has the name
// and an old one stays until the new one is complete. Never in place of a
// device or a folder. False with the reason ("NAME: ...").
// With taken, only a new file is made: a name that is taken is left alone,
// with *taken set.
bool save_whole(const std::string &name, const std::string &bytes, std::string *reason,
                bool *taken = nullptr);

// The folder for the user's settings: $XDG_CONFIG_HOME, else ~/.config; on
// Windows %APPDATA%. Empty where the environment names none.
std::string config_dir();

// Makes the folders of path that are missing (its last part is a file);
// false with "FOLDER: errno's text".
bool make_parent_dirs(const std::string &path, std::string *reason);

// A plain file of at most `most` bytes, read whole; false with the reason
// (errno's text, "not a plain file", "cannot be read", or too_large).
inline constexpr char too_large[] = "too large";
bool read_small_file(const std::string &path, size_t most, std::string *text, std::string *why);
