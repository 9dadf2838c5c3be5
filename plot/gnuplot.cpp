#include "plot/gnuplot.hpp"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <poll.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace {

bool ends_with(const std::string &text, const std::string &end) {
    return text.size() >= end.size() &&
           text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// A gnuplot single-quoted string: a quote is written twice.
std::string quoted(const std::string &text) {
    std::string out = "'";
    for (char c : text) {
        out += c;
        if (c == '\'')
            out += '\'';
    }
    return out + "'";
}

bool executable(const std::string &path) {
    struct stat info;
    return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
           access(path.c_str(), X_OK) == 0;
}

std::string find_gnuplot() {
    const char *chosen = std::getenv("TALVIK_GNUPLOT");
    std::string name = chosen && *chosen ? chosen : "gnuplot";
    if (name.find('/') != std::string::npos)
        return executable(name) ? name : "";
    const char *path = std::getenv("PATH");
    std::string dirs = path ? path : "/usr/bin:/bin";
    size_t start = 0;
    while (start <= dirs.size()) {
        size_t end = dirs.find(':', start);
        if (end == std::string::npos)
            end = dirs.size();
        std::string dir = dirs.substr(start, end - start);
        std::string candidate = (dir.empty() ? "." : dir) + "/" + name;
        if (executable(candidate))
            return candidate;
        start = end + 1;
    }
    return "";
}

void append_points(std::string &script, const sweep &s, bool overflow_only) {
    char line[64];
    for (const auto &p : s.points) {
        if (overflow_only && !p.overflow)
            continue;
        std::snprintf(line, sizeof line, "%.1f %.3f\n", p.hz, p.level);
        script += line;
    }
    script += "e\n";
}

// Tics at 1, 2 and 5 of every decade in the swept band, labelled in Hz, kHz
// or MHz: a decade is often wider than a sweep.
std::string frequency_tics(const std::vector<sweep> &sweeps) {
    double lo = 0, hi = 0;
    for (const auto &s : sweeps) {
        if (s.points.empty())
            continue;
        if (lo == 0 || s.points.front().hz < lo)
            lo = s.points.front().hz;
        hi = std::max(hi, s.points.back().hz);
    }
    std::string tics;
    if (lo <= 0)
        return tics;
    for (int k = static_cast<int>(std::floor(std::log10(lo))); k <= std::ceil(std::log10(hi));
         ++k) {
        for (double m : {1.0, 2.0, 5.0}) {
            double v = m * std::pow(10.0, k);
            if (v < lo * 0.999 || v > hi * 1.001)
                continue;
            char tic[64];
            if (v >= 1e6)
                std::snprintf(tic, sizeof tic, "'%g MHz' %g", v / 1e6, v);
            else if (v >= 1e3)
                std::snprintf(tic, sizeof tic, "'%g kHz' %g", v / 1e3, v);
            else
                std::snprintf(tic, sizeof tic, "'%g Hz' %g", v, v);
            tics += (tics.empty() ? "" : ", ") + std::string(tic);
        }
    }
    return tics.empty() ? tics : "set xtics (" + tics + ")\n";
}

} // namespace

std::string gnuplot_script(const std::vector<sweep> &sweeps, const std::string &output,
                           const std::string &y_label) {
    std::string script;
    if (ends_with(output, ".svg"))
        script += "set terminal svg size 900,540 dynamic background rgb 'white'\n";
    else
        script += "set terminal png size 900,540\n";
    script += "set output\n"; // standard output: talvik-plot writes the file
    script += "set logscale x\nset format x '%.1s %cHz'\nset grid xtics ytics\n" +
              frequency_tics(sweeps) +
              "set offsets graph 0, 0, 0.05, 0.05\nset xlabel 'Frequency'\nset ylabel " +
              quoted(y_label) + "\nset key noenhanced bottom center\nset autoscale xfix\n";
    std::string plots;
    int colour = 1;
    for (const auto &s : sweeps) {
        bool any_overflow = false;
        for (const auto &p : s.points)
            any_overflow = any_overflow || p.overflow;
        if (!plots.empty())
            plots += ", ";
        plots += "'-' using 1:2 with linespoints lc " + std::to_string(colour) +
                 " pt 7 ps 0.6 title " + quoted(s.name);
        if (any_overflow)
            plots += ", '-' using 1:2 with points lc " + std::to_string(colour) +
                     " pt 6 ps 2.5 title " + quoted(s.name + ": overflow");
        ++colour;
    }
    script += "plot " + plots + "\n";
    for (const auto &s : sweeps) {
        append_points(script, s, false);
        bool any_overflow = false;
        for (const auto &p : s.points)
            any_overflow = any_overflow || p.overflow;
        if (any_overflow)
            append_points(script, s, true);
    }
    return script;
}

namespace {

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

bool draw_sweeps(const std::vector<sweep> &sweeps, const std::string &output,
                 const std::string &y_label, std::string &error) {
    if (!ends_with(output, ".png") && !ends_with(output, ".svg")) {
        error = "the plot's name must end in .png or .svg: " + output;
        return false;
    }
    for (const auto &s : sweeps) {
        if (s.points.empty()) {
            error = s.name + ": no points to draw";
            return false;
        }
    }
    std::string gnuplot = find_gnuplot();
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
    bool copied = pump(in[1], out[0], gnuplot_script(sweeps, output, y_label), file, fed);
    int copy_error = errno;
    close(out[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    if (!copied)
        return fail(output + ": " + std::strerror(copy_error));
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || !fed)
        return fail("gnuplot could not draw " + output + " (see its message above)");
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
