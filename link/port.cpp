#include "link/port.hpp"

#include "common/number.hpp"
#include "link/backends.hpp"
#include "link/trace.hpp"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

const port_backend *port = nullptr;

void close_port() {
    if (port && port->close)
        port->close();
    port = nullptr;
    stop_trace();
}

[[noreturn]] void cannot_open(const char *setting, const char *reason) {
    std::fprintf(stderr, "Can't open port %s: %s\n", setting, reason);
    std::exit(4);
}

bool starts_with(const char *text, const char *prefix) {
    return std::strncmp(text, prefix, std::strlen(prefix)) == 0;
}

} // namespace

void write_data(uint32_t value) {
    uint8_t byte = static_cast<uint8_t>(value & 0xFF);
    port->set_data(byte);
    if (tracing)
        trace_access('W', byte);
}

uint32_t read_status() {
    uint8_t byte = port->get_status();
    if (tracing)
        trace_access('R', byte);
    return byte;
}

const port_backend *port_for(const char *setting, const char **arg) {
    if (!setting || !*setting || std::strcmp(setting, "sim") == 0) {
        *arg = "";
        return &sim_port;
    }
    if (starts_with(setting, "sim:")) {
        *arg = setting + 4;
        return &sim_port;
    }
    if (starts_with(setting, "ppdev:")) {
        *arg = setting + 6;
        return &ppdev_port;
    }
    if (starts_with(setting, "/dev/")) {
        *arg = setting;
        return &ppdev_port;
    }
    if (starts_with(setting, "io:")) {
        *arg = setting + 3;
        return &io_port;
    }
    if (*setting >= '0' && *setting <= '9') {
        *arg = setting;
        return &io_port;
    }
    return nullptr;
}

bool read_port_address(const char *text, uint16_t *address, char *reason, size_t reason_size) {
    long long number = 0;
    if (!parse_number(text, 0, 0xFFFE, &number)) {
        std::snprintf(reason, reason_size, "not a port address (use e.g. 0x378 or 888)");
        return false;
    }
    *address = static_cast<uint16_t>(number);
    return true;
}

void use_port(const port_backend *backend) { port = backend; }

void open_port(const char *setting, const char *trace_path) {
    const char *shown = setting ? setting : "";
    const char *arg = nullptr;
    const port_backend *backend = port_for(setting, &arg);
    if (!backend)
        cannot_open(shown, "unknown port; use sim[:OPTIONS], ppdev:PATH, /dev/parportN, io:ADDRESS "
                           "or an address such as 0x378");
    char reason[256] = "";
    if (!backend->open(arg, reason, sizeof reason))
        cannot_open(shown, reason);
    port = backend;
    std::atexit(close_port);
    if (trace_path && *trace_path && !start_trace(trace_path)) {
        std::fprintf(stderr, "Can't open trace file %s: %s\n", trace_path, std::strerror(errno));
        std::exit(1);
    }
}
