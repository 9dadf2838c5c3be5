#include "link/port.hpp"

#include "common/clock.hpp"
#include "common/exit_status.hpp"
#include "common/number.hpp"
#include "common/stop.hpp"
#include "common/text.hpp"
#include "link/batch_walk.hpp"
#include "link/link.hpp"
#include "link/trace.hpp"

#include <cerrno>
#include <cstdarg>
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
     "this build has no GPIO support: it needs Linux and kernel headers from 5.10 on when built"},
};
const size_t port_kind_count = sizeof port_kinds / sizeof port_kinds[0];

port_link *the_link = nullptr;

void port_error::set(int code, const char *format, ...) {
    status = code;
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
}

const char *backend_incomplete(const port_backend &b) {
    if (!b.name || !*b.name)
        return "a backend without a name";
    if (!b.open || !b.close || !b.set_data || !b.get_status)
        return "open, close, set_data and get_status are required";
    if (!b.submit != !b.finish)
        return "submit and finish come both or neither";
    return nullptr;
}

port_link::port_link(const port_backend *backend, void *self, const char *name)
    : ops(backend), instance(self) {
    std::snprintf(shown, sizeof shown, "%s", shortened(name, 100).c_str());
}

port_link::~port_link() {
    port_error ignored;
    (void)close(&ignored);
    if (the_link == this)
        the_link = nullptr;
}

void port_link::fail(int status, const char *text) {
    if (!failure)
        failure.set(status, "%s", text);
}

bool port_link::start_trace(const char *path) {
    trace = port_trace::open(path);
    return trace != nullptr;
}

// A wait that a streaming backend ran shows as the read that ended it; a
// delay touched no line. A trace that cannot be written ends the run.
void port_link::trace_accesses(const port_access *items, size_t count) {
    if (!trace || !items)
        return;
    bool ok = true;
    for (size_t i = 0; i < count && ok; ++i) {
        switch (items[i].kind) {
        case access_kind::write:
            ok = trace->record(access_kind::write, items[i].value);
            break;
        case access_kind::read:
        case access_kind::wait_ready:
            ok = trace->record(access_kind::read, items[i].value);
            break;
        case access_kind::delay:
            break;
        }
    }
    if (!ok && !trace_told) {
        trace_told = true;
        fail(status_file, trace->failure());
    }
}

void port_link::note_reached(void *self, const port_access *items, size_t count) {
    auto *link = static_cast<port_link *>(self);
    if (link->trace) {
        link->trace->hold(); // within the caller's hold, which it keeps
        link->trace_accesses(items, count);
        link->trace->release();
    }
}

// The backend has let go of its port: the trace gets what reached the lines
// (done of items, the backend's reach added), and nothing more is sent.
void port_link::lost(const port_fault &fault, const port_access *items, size_t done) {
    trace_accesses(items, done + fault.reached);
    gone = true;
    std::snprintf(lost_reason, sizeof lost_reason, "%s", fault.why);
    std::snprintf(loss, sizeof loss, "Lost port %s: %s",
                  fault.port[0] ? printable(fault.port).c_str() : shown,
                  printable(fault.why).c_str());
    fail(status_port, loss);
}

void port_link::write(uint8_t value) {
    if (failure)
        return;
    port_access access = {access_kind::write, value, false};
    port_fault fault;
    if (trace)
        trace->hold();
    if (ops->set_data(instance, value, &fault))
        trace_accesses(&access, 1);
    else
        lost(fault, &access, 0);
    if (trace)
        trace->release();
}

uint8_t port_link::read() {
    if (failure)
        return 0;
    port_access access = {access_kind::read, 0, false};
    port_fault fault;
    if (trace)
        trace->hold();
    if (ops->get_status(instance, &access.value, &fault)) {
        trace_accesses(&access, 1);
        busy_seen_ = busy_seen_ || (access.value & status_busy);
    } else {
        lost(fault, &access, 0);
    }
    if (trace)
        trace->release();
    return access.value;
}

// A run of writes and reads, in one call where the backend can.
void port_link::run_accesses(port_access *items, size_t count) {
    if (trace)
        trace->hold();
    port_fault fault;
    size_t done = 0;
    bool ok = true;
    if (ops->run_batch) {
        ok = ops->run_batch(instance, items, count, &fault);
        done = ok ? count : 0;
    } else {
        for (; done < count && ok; done += ok) {
            if (items[done].kind == access_kind::write)
                ok = ops->set_data(instance, items[done].value, &fault);
            else
                ok = ops->get_status(instance, &items[done].value, &fault);
        }
    }
    if (ok)
        trace_accesses(items, count);
    else
        lost(fault, items, done);
    if (trace)
        trace->release();
}

void port_link::run(port_batch &batch) {
    batch.done = 0;
    if (batch.overfull)
        fail(status_port, "a batch of more accesses than it holds: not sent");
    if (failure)
        return;
    size_t failed_at = 0;
    (void)walk_batch(
        batch,
        [this](port_access *items, size_t count) {
            run_accesses(items, count);
            return !failure;
        },
        [this](uint8_t *status) {
            *status = read(); // each poll on its own
            return !failure;
        },
        &failed_at);
    busy_seen_ = busy_seen_ || batch.busy_seen;
}

bool port_link::streams() const { return ops->submit != nullptr; }

void port_link::submit(port_batch &batch) {
    if (queue_head - queue_tail == batches_ahead) {
        fail(status_port, "more batches in flight than the link holds: not sent");
        return;
    }
    queued[queue_head++ % batches_ahead] = &batch;
    batch.done = 0;
    if (failure)
        return;
    if (!ops->submit) {
        run(batch);
        return;
    }
    if (batch.overfull) {
        fail(status_port, "a batch of more accesses than it holds: not sent");
        return;
    }
    port_fault fault;
    if (!ops->submit(instance, &batch, &fault))
        lost(fault, batch.items, 0);
}

port_batch *port_link::completed() {
    if (queue_tail == queue_head)
        return nullptr;
    port_batch *batch = queued[queue_tail++ % batches_ahead];
    // After a failure nothing more runs: the batches still in flight are let
    // go as far as they ran when the backend next comes to rest.
    if (ops->submit && !failure && !closed) {
        port_fault fault;
        if (trace)
            trace->hold();
        if (ops->finish(instance, batch, &fault)) {
            trace_accesses(batch->items, batch->done);
            busy_seen_ = busy_seen_ || batch->busy_seen;
        } else {
            // What of this batch reached the lines, counted from its start.
            batch->done = 0;
            lost(fault, batch->items, 0);
        }
        if (trace)
            trace->release();
    }
    return batch;
}

int port_link::read_data_back() {
    if (failure || !ops->read_data)
        return -1;
    port_fault fault;
    int value = -1;
    if (!ops->read_data(instance, &value, &fault)) {
        lost(fault, nullptr, 0);
        return -1;
    }
    return value;
}

bool port_link::replies_fixed() { return ops->replies_fixed && ops->replies_fixed(instance); }

const char *port_link::busy_line() {
    if (ops->busy_line && instance)
        return ops->busy_line(instance);
    return ops->wiring == port_wiring::adapter_pins ? "AD7" : "pin 11";
}

int port_link::close(port_error *error) {
    if (closed)
        return status_done;
    // Batches still in flight are let go as far as they ran: the backend
    // brings its stream to rest before the idle write.
    queue_head = queue_tail = 0;
    closed = true;
    int status = status_done;
    if (!gone) {
        // A failure short of a loss (the trace, a converter never ready, the
        // results file) still leaves the lines idle. A loss met here is this
        // close's own to tell, whatever failure came before.
        port_fault fault;
        uint8_t idle = idle_lines;
        port_access access = {access_kind::write, idle, false};
        if (trace)
            trace->hold();
        if (ops->set_data(instance, idle, &fault)) {
            trace_accesses(&access, 1);
        } else {
            lost(fault, &access, 0);
            error->set(status_port, "%s", loss);
            status = status_port;
        }
        if (trace)
            trace->release();
    }
    char why[300] = "";
    if (!ops->close(instance, why, sizeof why) && status == status_done) {
        error->set(status_port, "Lost port %s: %s", shown, printable(why).c_str());
        status = status_port;
    }
    instance = nullptr;
    gone = true;
    // A trace that failed while open has said so already.
    if (trace && !trace->close() && status == status_done && !trace_told) {
        error->set(status_file, "%s", trace->failure());
        status = status_file;
    }
    trace.reset();
    return status;
}

int port_link::finish(int status, port_error *error) {
    error->status = status_done;
    int closed = close(error);
    if (lost_why())
        return status_port;
    return status != status_done ? status : closed;
}

const port_error *link_failure() {
    return the_link && the_link->error() ? &the_link->error() : nullptr;
}

void link_fail(int status, const char *text) {
    if (the_link)
        the_link->fail(status, text);
}

void write_data(uint32_t value) { the_link->write(static_cast<uint8_t>(value & 0xFF)); }
uint32_t read_status() { return the_link->read(); }
void run_batch(port_batch &batch) { the_link->run(batch); }
bool port_streams() { return the_link && the_link->streams(); }
void submit_batch(port_batch &batch) { the_link->submit(batch); }
port_batch *completed_batch() { return the_link->completed(); }
port_wiring port_wiring_of() { return the_link->backend().wiring; }
int read_data_back() { return the_link ? the_link->read_data_back() : -1; }
bool port_replies_fixed() { return the_link && the_link->replies_fixed(); }

const char *port_busy_line() { return the_link ? the_link->busy_line() : "pin 11"; }

bool port_busy_seen() { return the_link && the_link->busy_seen(); }

void port_forget_busy() {
    if (the_link)
        the_link->forget_busy();
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

std::unique_ptr<port_link> open_backend(const port_backend *backend, const char *arg,
                                        const char *shown, port_error *error) {
    if (const char *why = backend_incomplete(*backend)) {
        error->set(status_port, "Can't open port %s: %s", shortened(shown, 300).c_str(), why);
        return nullptr;
    }
    auto link = std::make_unique<port_link>(backend, nullptr, shown);
    char why[300] = "";
    port_notes notes = {link.get(), port_link::note_reached};
    link->instance = backend->open(arg, notes, why, sizeof why);
    if (!link->instance) {
        link->closed = true;
        error->set(status_port, "Can't open port %s: %s", shortened(shown, 300).c_str(),
                   printable(why).c_str());
        return nullptr;
    }
    return link;
}

std::unique_ptr<port_link> open_link(const char *setting, const char *trace_path,
                                     port_error *error, bool set_idle) {
    const char *shown = setting ? setting : "";
    const char *arg = nullptr;
    const port_kind *kind = kind_for(setting, &arg);
    if (!kind) {
        char known[300] = "";
        for (const port_kind &k : port_kinds) {
            std::strncat(known, known[0] ? ", " : "", sizeof known - std::strlen(known) - 1);
            std::strncat(known, k.forms, sizeof known - std::strlen(known) - 1);
        }
        error->set(status_port, "Can't open port %s: unknown port; use %s",
                   shortened(shown, 300).c_str(), known);
        return nullptr;
    }
    const port_backend *backend = backend_of(kind);
    if (!backend) {
        error->set(status_port, "Can't open port %s: %s", shortened(shown, 300).c_str(),
                   kind->missing);
        return nullptr;
    }
    std::unique_ptr<port_link> link = open_backend(backend, arg, shown, error);
    if (!link)
        return nullptr;
    if (trace_path && *trace_path && !link->start_trace(trace_path)) {
        int saved = errno;
        port_error ignored;
        (void)link->close(&ignored);
        error->set(status_file, "Can't open trace file %s: %s", shortened(trace_path, 600).c_str(),
                   std::strerror(saved));
        return nullptr;
    }
    // Whatever an earlier run left (a select held low by a run killed
    // mid-exchange), the converter starts from released lines.
    if (set_idle) {
        link->write(idle_lines);
        if (link->error()) {
            *error = link->error();
            return nullptr;
        }
    }
    return link;
}
