// A results file saved whole: written to a temporary file beside it, synced,
// then renamed into place, so that no partial file ever has its name.
#include "results/results.hpp"

#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

bool save_results(const std::string &name, const std::vector<level_point> &points,
                  std::string *reason) {
    // A rename would put the file in place of whatever has the name: never a
    // device (as root, /dev/full itself), a pipe or a folder.
    struct stat info;
    if (stat(name.c_str(), &info) == 0 && !S_ISREG(info.st_mode)) {
        *reason = name + (S_ISDIR(info.st_mode) ? std::string(": ") + std::strerror(EISDIR)
                                                : ": not a regular file; name a file to save to");
        return false;
    }
    std::string partial = name + ".partial-XXXXXX";
    int fd = mkstemp(partial.data());
    if (fd < 0) {
        *reason = name + ": " + std::strerror(errno);
        return false;
    }
    // As a file created by name would be, not mkstemp's 0600.
    mode_t mask = umask(0);
    umask(mask);
    fchmod(fd, 0666 & ~mask);
    std::FILE *file = fdopen(fd, "wb");
    bool ok = file && std::fputs(results_header, file) >= 0;
    char line[128];
    for (const auto &p : points) {
        int length = format_record(line, sizeof line, p.hz, p.level, p.overflow);
        ok = ok && length > 0 &&
             std::fwrite(line, 1, static_cast<size_t>(length), file) == static_cast<size_t>(length);
    }
    ok = ok && std::fflush(file) == 0 && fsync(fd) == 0;
    int error = errno;
    if (file ? std::fclose(file) != 0 : close(fd) != 0) {
        if (ok)
            error = errno;
        ok = false;
    }
    if (ok && std::rename(partial.c_str(), name.c_str()) != 0) {
        error = errno;
        ok = false;
    }
    if (!ok) {
        std::remove(partial.c_str());
        *reason = name + ": " + std::strerror(error);
    }
    return ok;
}
