#include "plot/gnuplot.hpp"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
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
    script += "set output " + quoted(output) + "\n";
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
    int pipe_fds[2];
    if (pipe(pipe_fds) != 0) {
        error = std::string("cannot start gnuplot: ") + std::strerror(errno);
        return false;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipe_fds[0], 0);
    posix_spawn_file_actions_addclose(&actions, pipe_fds[1]);
    char *argv[] = {const_cast<char *>(gnuplot.c_str()), nullptr};
    pid_t pid;
    int spawned = posix_spawn(&pid, gnuplot.c_str(), &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    close(pipe_fds[0]);
    if (spawned != 0) {
        close(pipe_fds[1]);
        error = "cannot start " + gnuplot + ": " + std::strerror(spawned);
        return false;
    }
    // gnuplot quitting early must not kill us with SIGPIPE: its status says why.
    std::signal(SIGPIPE, SIG_IGN);
    std::string script = gnuplot_script(sweeps, output, y_label);
    size_t written = 0;
    while (written < script.size()) {
        ssize_t n = write(pipe_fds[1], script.data() + written, script.size() - written);
        if (n <= 0)
            break;
        written += static_cast<size_t>(n);
    }
    close(pipe_fds[1]);
    int status = 0;
    waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || written < script.size()) {
        error = "gnuplot could not draw " + output + " (see its message above)";
        return false;
    }
    return true;
}
