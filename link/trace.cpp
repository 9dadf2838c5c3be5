#include "link/trace.hpp"

#include "common/clock.hpp"
#include "common/stop.hpp"
#include "common/text.hpp"
#include "link/trace_sink.hpp"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

// The trace a second stop signal writes out: a signal handler reaches only
// what a global holds, and one trace is open at a time.
port_trace *signalled = nullptr;

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

} // namespace

// Writes out the buffer; where the disk fills part way, the file is cut back
// to its last complete line. Only calls a signal handler may make.
bool port_trace::write_out() {
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

void port_trace::on_stop_signal(int sig) {
    port_trace *t = signalled;
    if (t && t->holding) {
        t->pending = sig;
        return;
    }
    if (t && t->fd >= 0)
        t->write_out();
    die_by_signal(sig);
}

bool port_trace::flush() {
    hold_stop_signals(true);
    bool ok = write_out();
    int error = errno;
    filled = 0;
    hold_stop_signals(false);
    errno = error;
    return ok;
}

bool port_trace::finish(bool ok, int error) {
    if (signalled == this) {
        signalled = nullptr;
        last_words = nullptr;
    }
    if (fd >= 0 && !sink_close(fd) && ok) {
        ok = false;
        error = errno;
    }
    fd = -1;
    if (!ok && !failed) {
        failed = true;
        std::snprintf(why, sizeof why, "Can't write trace file %s: %s", printable(name).c_str(),
                      std::strerror(error));
    }
    return ok;
}

bool port_trace::append(const char *bytes, size_t count) {
    if (failed)
        return false;
    if (static_cast<size_t>(filled) + count > sizeof buffer && !flush()) {
        finish(false, errno);
        return false;
    }
    std::memcpy(buffer + filled, bytes, count);
    std::atomic_signal_fence(std::memory_order_seq_cst);
    filled = filled + static_cast<std::sig_atomic_t>(count);
    return true;
}

void port_trace::vcd_header() {
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

void port_trace::vcd_access(bool write, uint8_t value) {
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
    if (write) {
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

void port_trace::text_access(bool write, uint8_t value) {
    static const char hex[] = "0123456789ABCDEF";
    line l;
    l.number(static_cast<uint64_t>(micros_since_start()));
    l.put(' ');
    l.put(write ? 'W' : 'R');
    l.put(' ');
    l.put(hex[value >> 4]);
    l.put(hex[value & 15]);
    l.put('\n');
    append(l.text, l.size);
}

std::unique_ptr<port_trace> port_trace::open(const char *path) {
    std::unique_ptr<port_trace> t(new port_trace);
    t->fd = sink_open(path);
    if (t->fd < 0)
        return nullptr;
    std::snprintf(t->name, sizeof t->name, "%s", path);
    size_t length = std::strlen(path);
    t->vcd = length >= 4 && std::strcmp(path + length - 4, ".vcd") == 0;
    if (t->vcd)
        t->vcd_header();
    signalled = t.get();
    last_words = on_stop_signal;
    return t;
}

port_trace::~port_trace() {
    if (fd >= 0)
        (void)close();
}

// Holds nest: a backend's note of accesses that reached the lines comes
// within the hold of the batch it belongs to.
void port_trace::hold() { holding = holding + 1; }

void port_trace::release() {
    holding = holding - 1;
    if (!holding && pending)
        on_stop_signal(pending);
}

bool port_trace::record(access_kind kind, uint8_t value) {
    bool write = kind == access_kind::write;
    if (vcd)
        vcd_access(write, value);
    else
        text_access(write, value);
    return !failed;
}

bool port_trace::close() {
    if (fd < 0)
        return !failed;
    bool ok = flush();
    return finish(ok, errno);
}
