#include "link/trace.hpp"

#include "common/clock.hpp"
#include "common/exit_status.hpp"
#include "common/stop.hpp"
#include "common/text.hpp"
#include "link/trace_sink.hpp"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

bool tracing = false;

namespace {

int fd = -1;
char name[1024];
bool vcd = false;
int64_t last_time = 0;
int last_data = -1;   // unknown until the first write
int last_status = -1; // unknown until the first read

// The trace's own buffer, so that a signal handler can write out what it
// holds: filled counts only complete accesses.
char buffer[1 << 16];
volatile std::sig_atomic_t filled = 0;
volatile std::sig_atomic_t holding = 0; // an access is between the port and the trace
volatile std::sig_atomic_t pending = 0; // a stop signal that came meanwhile

long long written = 0; // bytes of complete lines in the file

// Writes out the buffer; where the disk fills part way, the file is cut back
// to its last complete line. Only calls a signal handler may make.
bool write_out() {
    size_t done = 0;
    bool ok = sink_write(fd, buffer, static_cast<size_t>(filled), &done);
    if (!ok) {
        int error = errno;
        while (done > 0 && buffer[done - 1] != '\n')
            --done;
        sink_truncate(fd, written + static_cast<long long>(done));
        errno = error;
    }
    written += static_cast<long long>(done);
    return ok;
}

void on_stop_signal(int sig) {
    if (holding) {
        pending = sig;
        return;
    }
    if (fd >= 0)
        write_out();
    die_by_signal(sig);
}

bool flush() {
    hold_stop_signals(true);
    bool ok = write_out();
    int error = errno;
    filled = 0;
    hold_stop_signals(false);
    errno = error;
    return ok;
}

bool close_trace(bool ok, int error) {
    tracing = false;
    if (!sink_close(fd) && ok) {
        ok = false;
        error = errno;
    }
    fd = -1;
    if (!ok)
        std::fprintf(stderr, "Can't write trace file %s: %s\n", printable(name).c_str(),
                     std::strerror(error));
    return ok;
}

void append(const char *bytes, size_t count) {
    if (static_cast<size_t>(filled) + count > sizeof buffer && !flush()) {
        close_trace(false, errno);
        std::exit(status_file);
    }
    std::memcpy(buffer + filled, bytes, count);
    std::atomic_signal_fence(std::memory_order_seq_cst);
    filled = filled + static_cast<std::sig_atomic_t>(count);
}

// One access's text, built on the stack.
struct line {
    char text[400];
    size_t size = 0;
    void put(char c) { text[size++] = c; }
    void put(const char *s) {
        while (*s)
            put(*s++);
    }
    void number(uint64_t n) {
        char digits[24];
        int count = 0;
        do {
            digits[count++] = static_cast<char>('0' + n % 10);
            n /= 10;
        } while (n);
        while (count)
            put(digits[--count]);
    }
};

// Signal identifiers: D0..D7, then S6 and S7.
const char data_ids[] = "!\"#$%&'(";
const char status_ids[] = ")*";

void vcd_header() {
    line l;
    l.put("$version talvik port trace $end\n$timescale 1us $end\n$scope module port $end\n");
    append(l.text, l.size);
    for (int bit = 0; bit < 8; ++bit) {
        line v;
        v.put("$var wire 1 ");
        v.put(data_ids[bit]);
        v.put(" D");
        v.put(static_cast<char>('0' + bit));
        v.put(" $end\n");
        append(v.text, v.size);
    }
    line s;
    s.put("$var wire 1 ");
    s.put(status_ids[0]);
    s.put(" S6 $end\n$var wire 1 ");
    s.put(status_ids[1]);
    s.put(" S7 $end\n$upscope $end\n$enddefinitions $end\n");
    append(s.text, s.size);
}

// Emits the lines whose value changed; bits lists the register bits traced.
void vcd_changes(line &l, int before, uint8_t now, const int *bits, const char *ids, int count) {
    for (int i = 0; i < count; ++i) {
        int mask = 1 << bits[i];
        if (before < 0 || ((before ^ now) & mask)) {
            l.put((now & mask) ? '1' : '0');
            l.put(ids[i]);
            l.put('\n');
        }
    }
}

void vcd_access(char kind, uint8_t value) {
    static const int data_bits[] = {0, 1, 2, 3, 4, 5, 6, 7};
    static const int status_bits[] = {6, 7};
    line l;
    // Every access gets a time of its own so that no edge is lost.
    int64_t now = micros_since_start();
    if (now <= last_time)
        now = last_time + 1;
    last_time = now;
    l.put('#');
    l.number(static_cast<uint64_t>(now));
    l.put('\n');
    // The first access gives the lines their first values; a line not yet
    // seen is unknown rather than a made-up level that would fake an edge.
    bool first = last_data < 0 && last_status < 0;
    if (first)
        l.put("$dumpvars\n");
    if (kind == 'W') {
        vcd_changes(l, last_data, value, data_bits, data_ids, 8);
        last_data = value;
        if (first)
            for (const char *id = status_ids; *id; ++id) {
                l.put('x');
                l.put(*id);
                l.put('\n');
            }
    } else {
        if (first)
            for (const char *id = data_ids; *id; ++id) {
                l.put('x');
                l.put(*id);
                l.put('\n');
            }
        vcd_changes(l, last_status, value, status_bits, status_ids, 2);
        last_status = value;
    }
    if (first)
        l.put("$end\n");
    append(l.text, l.size);
}

void text_access(char kind, uint8_t value) {
    static const char hex[] = "0123456789ABCDEF";
    line l;
    l.number(static_cast<uint64_t>(micros_since_start()));
    l.put(' ');
    l.put(kind);
    l.put(' ');
    l.put(hex[value >> 4]);
    l.put(hex[value & 15]);
    l.put('\n');
    append(l.text, l.size);
}

} // namespace

bool start_trace(const char *path) {
    fd = sink_open(path);
    if (fd < 0)
        return false;
    written = 0;
    std::snprintf(name, sizeof name, "%s", path);
    size_t length = std::strlen(path);
    vcd = length >= 4 && std::strcmp(path + length - 4, ".vcd") == 0;
    if (vcd)
        vcd_header();
    last_words = on_stop_signal;
    tracing = true;
    return true;
}

void hold_trace() { holding = 1; }

void release_trace() {
    holding = 0;
    if (pending)
        on_stop_signal(pending);
}

void trace_access(char kind, uint8_t value) {
    if (vcd)
        vcd_access(kind, value);
    else
        text_access(kind, value);
}

bool stop_trace() {
    if (fd < 0)
        return true;
    bool ok = flush();
    ok = close_trace(ok, errno);
    vcd = false;
    last_time = 0;
    last_data = last_status = -1;
    return ok;
}
