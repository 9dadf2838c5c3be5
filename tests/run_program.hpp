// Runs the built program as a user would: arguments, environment, a working
// directory, standard output on a pipe or on a terminal of 80x24.
#pragma once
#include <functional>
#include <string>
#include <vector>

struct run_options {
    std::string program = TALVIK_BIN; // the program to run
    std::vector<std::string> args;    // after the program name
    std::vector<std::string> env;     // "NAME=value"; TALVIK_* are cleared first (TALVIK_CAL set empty: no calibration)
    std::string dir;                  // working directory
    bool terminal = false;            // standard output on a pseudo-terminal
    bool stderr_on_terminal = false;  // with terminal: standard error there too
    int kill_after_ms = -1;           // send kill_signal this long after start
    int kill_signal = 9;
    std::vector<int> ignored_signals; // ignored when the program starts, as nohup and & do
    std::string stdout_file;   // redirect standard output to this file
    bool close_stdout = false; // start with standard output closed
    long file_size_limit = -1; // RLIMIT_FSIZE in bytes, as `ulimit -f` sets it
    long memory_limit = -1;    // RLIMIT_AS in bytes, as `ulimit -v` sets it
    // Where set, standard input is a pipe: after each read of standard
    // output, answer(all output so far) is typed in; "\x04" ends the input.
    std::function<std::string(const std::string &out)> answer;
};

struct run_result {
    int status = -1; // exit status, or 128 + signal
    std::string out; // standard output (the terminal's bytes when terminal)
    std::string err;
};

run_result run_talvik(const run_options &options);

// A fresh directory, removed with everything in it when the test ends.
struct temp_dir {
    std::string path;
    temp_dir();
    ~temp_dir();
    std::string file(const std::string &name) const { return path + "/" + name; }
};

std::string read_file(const std::string &path);
void write_file(const std::string &path, const std::string &text);
bool file_exists(const std::string &path);

// Plays terminal output onto a screen of rows x columns and returns its rows,
// trailing blanks removed. Knows what the program sends: cursor position,
// home, erase display, tab stops every 8 columns, CR and LF.
std::vector<std::string> screen_of(const std::string &bytes, int columns = 80, int rows = 24);
