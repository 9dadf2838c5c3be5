#include "common/files.hpp"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

bool read_small_file(const std::string &path, size_t most, std::string *text, std::string *why) {
    // A plain file only: a FIFO or a terminal would hold the program up.
    std::error_code error;
    if (std::filesystem::exists(path, error) && !std::filesystem::is_regular_file(path, error)) {
        *why = "not a plain file";
        return false;
    }
    std::FILE *file = std::fopen(path.c_str(), "rb");
    if (!file) {
        *why = std::strerror(errno);
        return false;
    }
    text->assign(most + 1, '\0');
    size_t n = std::fread(text->data(), 1, text->size(), file);
    bool failed = std::ferror(file);
    std::fclose(file);
    if (failed || n > most) {
        *why = failed ? "cannot be read" : too_large;
        return false;
    }
    text->resize(n);
    return true;
}
