#include "common/output.hpp"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

const char *checked_program = "";

void say_failed(int error) {
    std::fprintf(stderr, "%s: cannot write standard output%s%s\n", checked_program,
                 error ? ": " : "", error ? std::strerror(error) : "");
    std::fflush(stderr);
}

// Registered first, so run last: after everything else has written.
void check_output() {
    int error = std::fflush(stdout) != 0 ? errno : 0;
    bool failed = error != 0 || std::ferror(stdout);
    if (std::fclose(stdout) != 0 && !failed) {
        error = errno;
        failed = true;
    }
    if (!failed)
        return;
    say_failed(error);
    std::_Exit(1); // exit() may not be called again from here
}

} // namespace

bool flush_output() {
    if (std::fflush(stdout) == 0 && !std::ferror(stdout))
        return true;
    say_failed(errno);
    std::clearerr(stdout); // said once: not again at exit
    return false;
}

void check_output_at_exit(const char *program) {
    checked_program = program;
    std::atexit(check_output);
}
