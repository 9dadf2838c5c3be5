// gnuplot as a POSIX process: the script goes in through one pipe and the
// picture comes back through another.
#include "plot/gnuplot.hpp"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <poll.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace {

bool executable(const std::string &path) {
    struct stat info;
    return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
           access(path.c_str(), X_OK) == 0;
}

// Feeds the script to gnuplot's input while copying its output, the picture,
// into the file: both pipes at once, so that neither side can stall the
// other. False with errno set when the file cannot be written.
bool pump(int to_gnuplot, int from_gnuplot, const std::string &script, int file, bool &fed) {
    size_t written = 0;
    bool writing = true, reading = true;
    char chunk[65536];
    while (reading) {
        pollfd fds[2] = {{from_gnuplot, POLLIN, 0}, {writing ? to_gnuplot : -1, POLLOUT, 0}};
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        if (writing && (fds[1].revents & (POLLOUT | POLLERR | POLLHUP))) {
            ssize_t n = write(to_gnuplot, script.data() + written, script.size() - written);
            if (n > 0)
                written += static_cast<size_t>(n);
            if (n <= 0 || written == script.size()) {
                close(to_gnuplot);
                writing = false;
            }
        }
        if (fds[0].revents & (POLLIN | POLLERR | POLLHUP)) {
            ssize_t n = read(from_gnuplot, chunk, sizeof chunk);
            if (n <= 0) {
                reading = false;
                continue;
            }
            for (ssize_t done = 0; done < n;) {
                ssize_t w = write(file, chunk + done, static_cast<size_t>(n - done));
                if (w <= 0) {
                    if (w == 0)
                        errno = ENOSPC;
                    if (writing)
                        close(to_gnuplot);
                    return false;
                }
                done += w;
            }
        }
    }
    if (writing)
        close(to_gnuplot);
    fed = written == script.size();
    return true;
}

} // namespace

bool run_gnuplot(const std::string &script, const std::string &output, std::string &error) {
    std::string gnuplot = find_gnuplot("gnuplot", ':', "/", "/usr/bin:/bin", executable);
    if (gnuplot.empty()) {
        error = "gnuplot not found; install it (sudo apt-get install gnuplot-nox) or name it "
                "in TALVIK_GNUPLOT";
        return false;
    }
    // The picture is written beside its name and renamed once whole, so that
    // a failure leaves no partial file, and gnuplot never writes anywhere
    // but to us.
    std::string partial = output + ".partial-XXXXXX";
    int file = mkstemp(partial.data());
    if (file < 0) {
        error = output + ": " + std::strerror(errno);
        return false;
    }
    mode_t mask = umask(0);
    umask(mask);
    fchmod(file, 0666 & ~mask); // as a file created by name would be
    auto fail = [&](const std::string &why) {
        close(file);
        unlink(partial.c_str());
        error = why;
        return false;
    };
    int in[2], out[2];
    if (pipe(in) != 0)
        return fail(std::string("cannot start gnuplot: ") + std::strerror(errno));
    if (pipe(out) != 0) {
        int e = errno;
        close(in[0]);
        close(in[1]);
        return fail(std::string("cannot start gnuplot: ") + std::strerror(e));
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    for (int fd : {in[0], in[1], out[0], out[1], file})
        posix_spawn_file_actions_addclose(&actions, fd);
    char *argv[] = {const_cast<char *>(gnuplot.c_str()), nullptr};
    pid_t pid;
    int spawned = posix_spawn(&pid, gnuplot.c_str(), &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    close(in[0]);
    close(out[1]);
    if (spawned != 0) {
        close(in[1]);
        close(out[0]);
        return fail("cannot start " + gnuplot + ": " + std::strerror(spawned));
    }
    // gnuplot quitting early must not kill us with SIGPIPE: its status says why.
    std::signal(SIGPIPE, SIG_IGN);
    bool fed = false;
    bool copied = pump(in[1], out[0], script, file, fed);
    int copy_error = errno;
    close(out[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    if (!copied)
        return fail(output + ": " + std::strerror(copy_error));
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return fail("gnuplot could not draw " + output + " (see its message above)");
    // A gnuplot that ends well having drawn nothing (a wrong program, an old
    // build without the terminal) must not leave an empty picture.
    char head[16];
    ssize_t got = pread(file, head, sizeof head, 0);
    if (got < 0 || !is_picture(output, head, static_cast<size_t>(got)) || !fed)
        return fail("gnuplot drew no picture for " + output + " (see its message above)");
    if (fsync(file) != 0 || close(file) != 0) {
        int e = errno;
        unlink(partial.c_str());
        error = output + ": " + std::strerror(e);
        return false;
    }
    if (rename(partial.c_str(), output.c_str()) != 0) {
        int e = errno;
        unlink(partial.c_str());
        error = output + ": " + std::strerror(e);
        return false;
    }
    return true;
}
