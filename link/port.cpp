#include "link/port.hpp"

#include "common/clock.hpp"
#include "common/exit_status.hpp"
#include "common/number.hpp"
#include "common/stop.hpp"
#include "common/text.hpp"
#include "link/link.hpp"
#include "link/trace.hpp"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

const char *device_path(const char *setting) {
    return std::strncmp(setting, "/dev/", 5) == 0 ? setting : nullptr;
}
const char *bare_address(const char *setting) {
    return *setting >= '0' && *setting <= '9' ? setting : nullptr;
}

} // namespace

const port_kind port_kinds[] = {
    {"sim", "sim[:OPTIONS]", "the simulated instrument (default; also unset or empty)", nullptr,
     "this build has no simulated instrument"},
    {"ppdev", "ppdev:PATH, /dev/parportN", "a Linux parallel-port device (ppdev)", device_path,
     "ppdev is a Linux device; on Windows use io:0x378 (inpout32.dll)"},
    {"io", "io:ADDRESS, 0x378, 888", "direct port I/O (x86 Linux as root; Windows: inpout32.dll)",
     bare_address, "direct port I/O needs an x86 processor; use ppdev:/dev/parport0"},
    {"ftdi", "ftdi, ftdi:DEVICE", "an FTDI FT232R, FT232H or FT2232H, synchronous bit-bang",
     nullptr,
     "this build has no FTDI support: on Linux it needs libftdi1 (libftdi1-dev) when built"},
    {"gpio", "gpio, gpio:LINES", "a board's GPIO lines (Raspberry Pi header by default)", nullptr,
     "this build has no GPIO support: it needs Linux and libgpiod (libgpiod-dev) when built"},
};
const size_t port_kind_count = sizeof port_kinds / sizeof port_kinds[0];

bool port_replies_fixed = false;

namespace {

const port_backend *port = nullptr;
char port_shown[160]; // the port as the user named it

// The accesses under way, so that a lost port's trace shows those that
// reached the lines: `done` of them went through the fallback one by one.
port_access *in_flight = nullptr;
size_t in_flight_done = 0;

void close_port_at_exit() { (void)close_port(); }


// A wait that a streaming backend ran shows as the read that ended it; a
// delay touched no line.
void trace_accesses(const port_access *items, size_t count) {
    for (size_t i = 0; i < count; ++i)
        if (items[i].kind != 'D')
            trace_access(items[i].kind == 'B' ? 'R' : items[i].kind, items[i].value);
}

// Batches handed over and not yet returned, oldest first.
port_batch *queued[batches_ahead];
size_t queue_head = 0, queue_tail = 0;

} // namespace

void write_data(uint32_t value) {
    uint8_t byte = static_cast<uint8_t>(value & 0xFF);
    if (!tracing) {
        port->set_data(byte);
        return;
    }
    port_access access = {'W', byte, false};
    hold_trace();
    in_flight = &access;
    port->set_data(byte);
    in_flight = nullptr;
    trace_access('W', byte);
    release_trace();
}

uint32_t read_status() {
    if (!tracing)
        return port->get_status();
    port_access access = {'R', 0, false};
    hold_trace();
    in_flight = &access;
    uint8_t byte = port->get_status();
    in_flight = nullptr;
    trace_access('R', byte);
    release_trace();
    return byte;
}

namespace {

// A run of writes and reads, in one call where the backend can.
void run_accesses(port_access *items, size_t count) {
    bool traced = tracing;
    if (traced)
        hold_trace();
    in_flight = items;
    in_flight_done = 0;
    if (port->run_batch) {
        port->run_batch(items, count);
    } else {
        for (size_t i = 0; i < count; ++i, in_flight_done = i) {
            if (items[i].kind == 'W')
                port->set_data(items[i].value);
            else
                items[i].value = port->get_status();
        }
    }
    in_flight = nullptr;
    in_flight_done = 0;
    if (traced) {
        trace_accesses(items, count);
        release_trace();
    }
}

// Polls the status until the converter is ready, each read on its own.
void wait_for_ready(port_access &wait) {
    int32_t t0 = tick_clock();
    uint32_t status;
    wait.late = false;
    while ((status = read_status()) & status_busy) {
        if (!keep_waiting())
            break;
        if (tick_clock() - t0 > ready_timeout_ticks) {
            wait.late = true;
            break;
        }
    }
    wait.value = static_cast<uint8_t>(status);
}

} // namespace

void run_batch(port_batch &batch) {
    port_access *items = batch.items;
    size_t count = batch.count;
    batch.done = 0;
    for (size_t i = 0; i < count;) {
        char kind = items[i].kind;
        if (kind == 'B' || kind == 'D') {
            if (kind == 'B')
                wait_for_ready(items[i]);
            else
                delay_ticks(batch.delay_ticks);
            batch.done = ++i;
            if (!keep_waiting())
                return; // a stop came in the wait: the rest is not sent
            continue;
        }
        size_t end = i;
        while (end < count && (items[end].kind == 'W' || items[end].kind == 'R'))
            ++end;
        run_accesses(items + i, end - i);
        batch.done = i = end;
    }
}

bool port_streams() { return port && port->submit; }

void submit_batch(port_batch &batch) {
    queued[queue_head++ % batches_ahead] = &batch;
    if (port->submit)
        port->submit(&batch);
    else
        run_batch(batch);
}

port_batch *completed_batch() {
    if (queue_tail == queue_head)
        return nullptr;
    port_batch *batch = queued[queue_tail++ % batches_ahead];
    if (port && port->submit) {
        // A port lost meanwhile traces what of this batch reached the lines.
        in_flight = batch->items;
        in_flight_done = 0;
        port->finish(batch);
        in_flight = nullptr;
        if (tracing) {
            hold_trace();
            trace_accesses(batch->items, batch->done);
            release_trace();
        }
    }
    return batch;
}

void (*port_lost_hook)(const char *why) = nullptr;

void port_lost(const char *name, const char *why, size_t reached) {
    if (tracing && in_flight)
        trace_accesses(in_flight, in_flight_done + reached);
    in_flight = nullptr;
    port = nullptr; // gone: no idle write at exit that would never arrive
    if (port_lost_hook)
        port_lost_hook(why);
    std::fprintf(stderr, "Lost port %s: %s\n", printable(name).c_str(), why);
    std::exit(status_port);
}

const port_kind *kind_for(const char *setting, const char **arg) {
    if (!setting || !*setting) {
        *arg = "";
        return &port_kinds[0];
    }
    for (const port_kind &kind : port_kinds) {
        size_t length = std::strlen(kind.name);
        if (std::strncmp(setting, kind.name, length) == 0 &&
            (setting[length] == '\0' || setting[length] == ':')) {
            *arg = setting[length] ? setting + length + 1 : setting + length;
            return &kind;
        }
        if (kind.bare && (*arg = kind.bare(setting)))
            return &kind;
    }
    return nullptr;
}

const port_backend *backend_of(const port_kind *kind) {
    for (size_t i = 0; i < built_port_backend_count; ++i)
        if (std::strcmp(built_port_backends[i]->name, kind->name) == 0)
            return built_port_backends[i];
    return nullptr;
}

void print_port_forms(std::FILE *out, int indent) {
    for (const port_kind &kind : port_kinds) {
        std::fprintf(out, "%*s%-26s %s\n", indent, "", kind.forms, kind.usage);
        const port_backend *backend = backend_of(&kind);
        if (backend && backend->detail)
            std::fprintf(out, "%*s%-26s %s\n", indent, "", "", backend->detail);
    }
}

bool read_port_address(const char *text, uint16_t *address, char *reason, size_t reason_size) {
    long long number = 0;
    if (!parse_number(text, 0, 0xFFFE, &number)) {
        std::snprintf(reason, reason_size, "not a port address (use e.g. 0x378 or 888)");
        return false;
    }
    // Below 0x100 sit the DMA and interrupt controllers, the timer and the
    // keyboard controller, whose writes can reset the machine.
    if (number < 0x100) {
        std::snprintf(reason, reason_size, "%s is a system address, not a parallel port", text);
        return false;
    }
    *address = static_cast<uint16_t>(number);
    return true;
}

void use_port(const port_backend *backend) { port = backend; }

bool try_open_port(const char *setting, char *reason, size_t reason_size) {
    const char *shown = setting ? setting : "";
    const char *arg = nullptr;
    const port_kind *kind = kind_for(setting, &arg);
    char why[300] = "";
    if (!kind) {
        char known[300] = "";
        for (const port_kind &k : port_kinds) {
            std::strncat(known, known[0] ? ", " : "", sizeof known - std::strlen(known) - 1);
            std::strncat(known, k.forms, sizeof known - std::strlen(known) - 1);
        }
        std::snprintf(why, sizeof why, "unknown port; use %s", known);
    } else if (const port_backend *backend = backend_of(kind); !backend) {
        std::snprintf(why, sizeof why, "%s", kind->missing);
    } else if (backend->open(arg, why, sizeof why)) {
        port = backend;
        std::snprintf(port_shown, sizeof port_shown, "%s", printable(shown).c_str());
        static bool registered = false;
        if (!registered)
            std::atexit(close_port_at_exit);
        registered = true;
        return true;
    }
    std::snprintf(reason, reason_size, "Can't open port %s: %s", printable(shown).c_str(),
                  printable(why).c_str());
    return false;
}

void open_port(const char *setting, const char *trace_path) {
    char reason[700];
    if (!try_open_port(setting, reason, sizeof reason)) {
        std::fprintf(stderr, "%s\n", reason);
        std::exit(status_port);
    }
    if (trace_path && *trace_path && !start_trace(trace_path)) {
        std::fprintf(stderr, "Can't open trace file %s: %s\n", printable(trace_path).c_str(),
                     std::strerror(errno));
        std::exit(status_file);
    }
    // Whatever an earlier run left (a select held low by a run killed
    // mid-exchange), the converter starts from released lines.
    write_data(idle_lines);
}

const char *port_name() { return port ? port->name : nullptr; }

int read_data_back() { return port && port->read_data ? port->read_data() : -1; }

int close_port() {
    int status = status_done;
    if (port) {
        write_data(idle_lines);
        const port_backend *closing = port;
        port = nullptr;
        const char *why = closing->close ? closing->close() : nullptr;
        if (why) {
            std::fprintf(stderr, "Lost port %s: %s\n", port_shown, why);
            status = status_port;
        }
    }
    if (!stop_trace() && status == status_done)
        status = status_file;
    return status;
}
