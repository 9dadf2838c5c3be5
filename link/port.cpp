#include "link/port.hpp"

#include "common/exit_status.hpp"
#include "common/number.hpp"
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
     "this build has no FTDI support: it needs Linux and libftdi1 (libftdi1-dev) when built"},
};
const size_t port_kind_count = sizeof port_kinds / sizeof port_kinds[0];

namespace {

const port_backend *port = nullptr;

void close_port_at_exit() { (void)close_port(); }

[[noreturn]] void cannot_open(const char *setting, const char *reason) {
    std::fprintf(stderr, "Can't open port %s: %s\n", setting, reason);
    std::exit(status_port);
}

} // namespace

void write_data(uint32_t value) {
    uint8_t byte = static_cast<uint8_t>(value & 0xFF);
    if (!tracing) {
        port->set_data(byte);
        return;
    }
    hold_trace();
    port->set_data(byte);
    trace_access('W', byte);
    release_trace();
}

uint32_t read_status() {
    if (!tracing)
        return port->get_status();
    hold_trace();
    uint8_t byte = port->get_status();
    trace_access('R', byte);
    release_trace();
    return byte;
}

void run_batch(port_batch &batch) {
    port_access *items = batch.items;
    size_t count = batch.count;
    bool traced = tracing;
    if (traced)
        hold_trace();
    if (port->run_batch) {
        port->run_batch(items, count);
    } else {
        for (size_t i = 0; i < count; ++i) {
            if (items[i].kind == 'W')
                port->set_data(items[i].value);
            else
                items[i].value = port->get_status();
        }
    }
    if (traced) {
        for (size_t i = 0; i < count; ++i)
            trace_access(items[i].kind, items[i].value);
        release_trace();
    }
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
    for (const port_kind &kind : port_kinds)
        std::fprintf(out, "%*s%-26s %s\n", indent, "", kind.forms, kind.usage);
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

void open_port(const char *setting, const char *trace_path) {
    const char *shown = setting ? setting : "";
    const char *arg = nullptr;
    const port_kind *kind = kind_for(setting, &arg);
    if (!kind) {
        char known[256] = "";
        for (const port_kind &k : port_kinds) {
            std::strncat(known, known[0] ? ", " : "", sizeof known - std::strlen(known) - 1);
            std::strncat(known, k.forms, sizeof known - std::strlen(known) - 1);
        }
        char reason[300];
        std::snprintf(reason, sizeof reason, "unknown port; use %s", known);
        cannot_open(shown, reason);
    }
    const port_backend *backend = backend_of(kind);
    if (!backend)
        cannot_open(shown, kind->missing);
    char reason[256] = "";
    if (!backend->open(arg, reason, sizeof reason))
        cannot_open(shown, reason);
    port = backend;
    std::atexit(close_port_at_exit);
    if (trace_path && *trace_path && !start_trace(trace_path)) {
        std::fprintf(stderr, "Can't open trace file %s: %s\n", trace_path, std::strerror(errno));
        std::exit(status_file);
    }
    // Whatever an earlier run left (a select held low by a run killed
    // mid-exchange), the converter starts from released lines.
    write_data(idle_lines);
}

bool close_port() {
    if (port) {
        write_data(idle_lines);
        if (port->close)
            port->close();
        port = nullptr;
    }
    return stop_trace();
}
