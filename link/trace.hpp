// Port traces: every access that reached the lines, with its time, as text
// or as a Value Change Dump. The trace survives the signals that stop a run:
// it then holds every access that reached the port, ending on a complete
// line.
#pragma once
#include "link/port.hpp"

#include <csignal>
#include <cstdint>

class port_trace {
public:
    // Opens the file; a name ending in ".vcd" selects a Value Change Dump.
    // Null with errno set when it cannot be opened.
    static std::unique_ptr<port_trace> open(const char *path);
    ~port_trace();

    // Around each access: a stop signal that comes between the port access
    // and its trace line waits for the line.
    void hold();
    void release();

    // Records one access that reached the lines: a write of the data
    // register, or a read of the status (a wait shows as the read that ended
    // it). False once the trace cannot be written: it then stops, and
    // failure() says why.
    bool record(access_kind kind, uint8_t value);

    // Writes out and closes the trace; false with failure() set.
    bool close();
    const char *failure() const { return why; }

private:
    port_trace() = default;
    bool append(const char *bytes, size_t count);
    bool flush();
    bool write_out();
    void vcd_header();
    void vcd_access(bool write, uint8_t value);
    void text_access(bool write, uint8_t value);
    bool finish(bool ok, int error);
    static void on_stop_signal(int sig);

    int fd = -1;
    char name[1024] = "";
    char why[1200] = "";
    bool vcd = false;
    bool failed = false;
    int64_t last_time = 0;
    int last_data = -1;   // unknown until the first write
    int last_status = -1; // unknown until the first read
    // The trace's own buffer, so that a signal handler can write out what it
    // holds: filled counts only complete accesses.
    char buffer[1 << 16];
    volatile std::sig_atomic_t filled = 0;
    volatile std::sig_atomic_t holding = 0; // accesses between the port and the trace (holds nest)
    volatile std::sig_atomic_t pending = 0; // a stop signal that came meanwhile
    long long written = 0;                  // bytes of complete lines in the file
};
