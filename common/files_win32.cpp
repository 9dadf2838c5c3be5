#include "common/files.hpp"

#include <windows.h>
#include <direct.h>
#include <cerrno>

#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <io.h>
#include <string>

void protect_std_streams() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (_get_osfhandle(fd) != -1)
            continue;
        int null = _open("NUL", fd == 0 ? _O_RDONLY : _O_WRONLY);
        if (null >= 0 && null != fd) {
            _dup2(null, fd);
            _close(null);
        }
    }
}

// Windows has no file size limit of the process.
void fail_oversize_writes() {}

bool truncate_file(std::FILE *file, long long length) {
    int fd = _fileno(file);
    return _chsize_s(fd, length) == 0 && _lseeki64(fd, length, SEEK_SET) == length;
}

bool same_file(const char *a, const char *b) {
    // Windows names are compared whole and without regard to case.
    char full_a[_MAX_PATH], full_b[_MAX_PATH];
    if (!_fullpath(full_a, a, sizeof full_a) || !_fullpath(full_b, b, sizeof full_b))
        return false;
    return _stricmp(full_a, full_b) == 0;
}

bool save_whole(const std::string &name, const std::string &bytes, std::string *reason,
                bool *taken) {
    DWORD attributes = GetFileAttributesA(name.c_str());
    if (taken)
        *taken = attributes != INVALID_FILE_ATTRIBUTES;
    if (taken && *taken) {
        *reason = name + ": " + std::strerror(EEXIST);
        return false;
    }
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        *reason = name + ": " + std::strerror(EISDIR);
        return false;
    }
    std::string partial = name + ".partial";
    std::FILE *file = std::fopen(partial.c_str(), "wb");
    if (!file) {
        *reason = name + ": " + std::strerror(errno);
        return false;
    }
    bool ok = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size() &&
              std::fflush(file) == 0 && _commit(_fileno(file)) == 0;
    int error = errno;
    if (std::fclose(file) != 0 && ok) {
        error = errno;
        ok = false;
    }
    if (ok && !MoveFileExA(partial.c_str(), name.c_str(),
                           (taken ? 0 : MOVEFILE_REPLACE_EXISTING) | MOVEFILE_WRITE_THROUGH)) {
        DWORD why = GetLastError();
        error = why == ERROR_ALREADY_EXISTS || why == ERROR_FILE_EXISTS ? EEXIST : EACCES;
        if (taken)
            *taken = error == EEXIST;
        ok = false;
    }
    if (!ok) {
        std::remove(partial.c_str());
        *reason = name + ": " + std::strerror(error);
    }
    return ok;
}

std::string config_dir() {
    const char *appdata = std::getenv("APPDATA");
    return appdata && *appdata ? std::string(appdata) : std::string();
}

bool make_parent_dirs(const std::string &path, std::string *reason) {
    for (size_t at = path.find_first_of("\\/", 3); at != std::string::npos;
         at = path.find_first_of("\\/", at + 1)) {
        std::string dir = path.substr(0, at);
        if (_mkdir(dir.c_str()) != 0 && errno != EEXIST) {
            *reason = dir + ": cannot make this folder: " + std::strerror(errno);
            return false;
        }
    }
    return true;
}
