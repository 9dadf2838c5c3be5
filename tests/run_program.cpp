#include "run_program.hpp"

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sstream>
#include <stdexcept>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

void drain(int fd, std::string &into) {
    char buffer[4096];
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n > 0)
        into.append(buffer, static_cast<size_t>(n));
}

[[noreturn]] void exec_child(const run_options &o) {
    if (!o.dir.empty() && chdir(o.dir.c_str()) != 0)
        _exit(126);
    unsetenv("TALVIK_PORT");
    unsetenv("TALVIK_TRACE");
    // No calibration unless the test gives one: a file a trial run left in
    // the user's config folder changes no test.
    setenv("TALVIK_CAL", "", 1);
    for (const auto &e : o.env)
        putenv(const_cast<char *>(e.c_str()));
    if (!o.stdout_file.empty()) {
        int fd = open(o.stdout_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd < 0)
            _exit(126);
        dup2(fd, 1);
        close(fd);
    }
    if (o.close_stdout)
        close(1);
    // As a user's shell starts it, whatever the test run itself ignores
    // (nohup, a background job); then what the test asks to be ignored.
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGPIPE, SIGQUIT})
        signal(sig, SIG_DFL);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    for (int sig : o.ignored_signals)
        signal(sig, SIG_IGN);
    if (o.file_size_limit >= 0) {
        rlimit limit = {static_cast<rlim_t>(o.file_size_limit),
                        static_cast<rlim_t>(o.file_size_limit)};
        setrlimit(RLIMIT_FSIZE, &limit);
    }
    if (o.memory_limit >= 0) {
        rlimit limit = {static_cast<rlim_t>(o.memory_limit), static_cast<rlim_t>(o.memory_limit)};
        setrlimit(RLIMIT_AS, &limit);
    }
    std::vector<char *> argv;
    argv.push_back(const_cast<char *>(o.program.c_str()));
    for (const auto &a : o.args)
        argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    execv(o.program.c_str(), argv.data());
    _exit(127);
}

} // namespace

run_result run_talvik(const run_options &o) {
    int err_pipe[2], in_pipe[2] = {-1, -1};
    if (pipe(err_pipe) != 0 || (o.answer && pipe(in_pipe) != 0))
        throw std::runtime_error("pipe");
    int out_fd = -1;
    pid_t pid;
    if (o.terminal) {
        struct winsize size = {24, 80, 0, 0};
        int master;
        pid = forkpty(&master, nullptr, nullptr, &size);
        out_fd = master;
    } else {
        int out_pipe[2];
        if (pipe(out_pipe) != 0)
            throw std::runtime_error("pipe");
        pid = fork();
        if (pid == 0) {
            dup2(out_pipe[1], 1);
            close(out_pipe[0]);
            close(out_pipe[1]);
        }
        close(out_pipe[1]);
        out_fd = out_pipe[0];
    }
    if (pid < 0)
        throw std::runtime_error("fork");
    if (pid == 0) {
        if (!(o.terminal && o.stderr_on_terminal))
            dup2(err_pipe[1], 2);
        close(err_pipe[0]);
        close(err_pipe[1]);
        if (o.answer) {
            dup2(in_pipe[0], 0);
            close(in_pipe[0]);
            close(in_pipe[1]);
        }
        exec_child(o);
    }
    close(err_pipe[1]);
    int in_fd = -1;
    if (o.answer) {
        close(in_pipe[0]);
        in_fd = in_pipe[1];
        signal(SIGPIPE, SIG_IGN); // a program gone before its answer
    }

    run_result r;
    auto started = std::chrono::steady_clock::now();
    bool killed = false, out_open = true, err_open = true;
    while (out_open || err_open) {
        pollfd fds[2] = {{out_fd, POLLIN, 0}, {err_pipe[0], POLLIN, 0}};
        int wait_ms = 100;
        poll(fds, 2, wait_ms);
        if (out_open && (fds[0].revents & (POLLIN | POLLHUP | POLLERR))) {
            size_t before = r.out.size();
            drain(out_fd, r.out);
            if (r.out.size() == before)
                out_open = false; // EOF, or EIO once the terminal's last user left
            if (in_fd >= 0 && r.out.size() != before) {
                std::string typed = o.answer(r.out);
                if (typed == "\x04") {
                    close(in_fd);
                    in_fd = -1;
                } else if (!typed.empty() &&
                           write(in_fd, typed.data(), typed.size()) != static_cast<ssize_t>(typed.size())) {
                    close(in_fd);
                    in_fd = -1;
                }
            }
        }
        if (err_open && (fds[1].revents & (POLLIN | POLLHUP | POLLERR))) {
            size_t before = r.err.size();
            drain(err_pipe[0], r.err);
            if (r.err.size() == before)
                err_open = false;
        }
        auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
                           std::chrono::steady_clock::now() - started)
                           .count();
        if (!killed && o.kill_after_ms >= 0 && elapsed >= o.kill_after_ms) {
            kill(pid, o.kill_signal);
            killed = true;
        }
        if (elapsed > 60000) { // a hung program is a failed test, not a hung suite
            kill(pid, SIGKILL);
            killed = true;
        }
    }
    close(out_fd);
    close(err_pipe[0]);
    if (in_fd >= 0)
        close(in_fd);
    int status = 0;
    waitpid(pid, &status, 0);
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return r;
}

temp_dir::temp_dir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "talvik-test-XXXXXX").string();
    if (!mkdtemp(pattern.data()))
        throw std::runtime_error("mkdtemp");
    path = pattern;
}

temp_dir::~temp_dir() {
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
}

std::string read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void write_file(const std::string &path, const std::string &text) {
    std::ofstream(path, std::ios::binary) << text;
}

bool file_exists(const std::string &path) { return std::filesystem::exists(path); }

std::vector<std::string> screen_of(const std::string &bytes, int columns, int rows) {
    std::vector<std::string> screen(rows, std::string(columns, ' '));
    int row = 0, col = 0;
    for (size_t i = 0; i < bytes.size(); ++i) {
        char c = bytes[i];
        if (c == '\033' && i + 1 < bytes.size() && bytes[i + 1] == '[') {
            size_t j = i + 2;
            std::vector<int> numbers{0};
            while (j < bytes.size() &&
                   (std::isdigit(static_cast<unsigned char>(bytes[j])) || bytes[j] == ';')) {
                if (bytes[j] == ';')
                    numbers.push_back(0);
                else
                    numbers.back() = numbers.back() * 10 + (bytes[j] - '0');
                ++j;
            }
            char command = j < bytes.size() ? bytes[j] : 0;
            if (command == 'H') {
                row = numbers.size() > 0 && numbers[0] > 0 ? numbers[0] - 1 : 0;
                col = numbers.size() > 1 && numbers[1] > 0 ? numbers[1] - 1 : 0;
            } else if (command == 'J' && numbers[0] == 2) {
                screen.assign(rows, std::string(columns, ' '));
            }
            i = j;
        } else if (c == '\r') {
            col = 0;
        } else if (c == '\n') {
            if (++row >= rows) {
                screen.erase(screen.begin());
                screen.push_back(std::string(columns, ' '));
                row = rows - 1;
            }
        } else if (c == '\t') {
            col = std::min(columns - 1, (col / 8 + 1) * 8);
        } else {
            if (col >= columns) { // auto-wrap
                col = 0;
                if (++row >= rows) {
                    screen.erase(screen.begin());
                    screen.push_back(std::string(columns, ' '));
                    row = rows - 1;
                }
            }
            screen[row][col++] = c;
        }
    }
    for (auto &line : screen)
        line.erase(line.find_last_not_of(' ') + 1);
    return screen;
}
