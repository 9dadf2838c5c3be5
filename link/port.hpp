// The parallel port: data register out, status register in, and the backend
// that carries the accesses to the instrument.
#pragma once
#include "common/port_lines.hpp"

#include <cstddef>
#include <cstdint>
#include <cstdio>

inline constexpr uint32_t port_base = 0x378; // data register; status at port_base + 1

// Line masks: AND takes a line low, OR with the complement takes it high.
inline constexpr uint32_t select_mask = 0xFF & ~conv_select_n_line; // 0xBF: converter selected
inline constexpr uint32_t release_mask = idle_lines;                // 0xFF: base for releasing it
inline constexpr uint32_t clock_mask = 0xFF & ~conv_clock_line;     // 0xDF: clock low
inline constexpr uint32_t data_one_mask = 0xFF & ~conv_data_line;   // 0xEF: complement sends a 1
inline constexpr uint32_t data_zero_mask = 0xFF;                    // complement adds nothing: a 0

// One access of a batch: a write of the data register ('W'); a read of the
// status register ('R') whose value the backend fills in; a wait until the
// converter is ready ('B': status bit 7 reads 0), given up after the ready
// wait's bound, whose value is the status that ended it and `late` set when
// it gave up; or the batch's delay on the host's clock ('D'). Plain and
// small, so that a batch on the stack costs nothing until filled.
struct port_access {
    char kind;
    uint8_t value;
    bool late;
    bool operator==(const port_access &) const = default;
};

// Accesses built on the stack and sent at once: a command, or a whole point
// with its waits.
struct port_batch {
    static constexpr size_t capacity = 264; // a point: 122 + 1 + 2 x (66 + 1)
    port_access items[capacity];
    size_t count = 0;
    size_t done = 0;         // accesses carried out: all, unless a stop came first
    int32_t delay_ticks = 0; // the length of its delay: a batch has at most one

    void write(uint32_t value) { items[count++] = {'W', static_cast<uint8_t>(value & 0xFF), false}; }
    // Returns where the value read will be found.
    size_t read() {
        items[count] = {'R', 0, false};
        return count++;
    }
    // Returns where the wait's outcome will be found.
    size_t wait_ready() {
        items[count] = {'B', 0, false};
        return count++;
    }
    void delay(int32_t ticks) {
        items[count++] = {'D', 0, false};
        delay_ticks = ticks;
    }
    uint8_t value(size_t at) const { return items[at].value; }
};

// One way of reaching the lines. open() is given the text after the form's
// prefix ("/dev/parport0", "dut=notch", ...) and on failure writes the reason.
struct port_backend {
    const char *name;
    bool (*open)(const char *arg, char *reason, size_t reason_size);
    // Gives the port back; the reason when that failed, else null.
    const char *(*close)();
    void (*set_data)(uint8_t value);
    uint8_t (*get_status)();
    // Optional: carries a run of writes and reads in one call, reads filled
    // in; where it is null they go one by one through set_data and
    // get_status. Waits never reach it.
    void (*run_batch)(port_access *accesses, size_t count);
    // Optional, both or neither: batches stream. submit() takes a batch that
    // stays put until finish() has been called for it; the backend may run
    // it later, and runs batches in order. finish(batch), for the oldest
    // batch not yet finished, returns once it has run, its reads and waits
    // filled in and its `done` set (short of its count when a stop came).
    void (*submit)(port_batch *batch) = nullptr;
    void (*finish)(port_batch *batch) = nullptr;
    // Optional: how this build's backend reads its argument, for --help.
    const char *detail = nullptr;
    // Optional: the data lines as they are (a wired line that does not follow
    // its write shows here); -1 when they cannot be read.
    int (*read_data)() = nullptr;
};

// The forms of TALVIK_PORT: "NAME", "NAME:ARG", and for some kinds a bare
// form ("/dev/parport0", "0x378"). A kind this build lacks is still known,
// so that its form gets the reason instead of "unknown port".
struct port_kind {
    const char *name;
    const char *forms; // as listed to the user
    const char *usage; // one line
    // The backend's argument in a bare form, or null when the setting is not one.
    const char *(*bare)(const char *setting);
    const char *missing; // why a build may lack it
};
extern const port_kind port_kinds[];
extern const size_t port_kind_count;

// The backends this build has, from the build's list.
extern const port_backend *const built_port_backends[];
extern const size_t built_port_backend_count;

// Set by a backend whose replies are fixed by design (the simulated
// instrument's reply= option): a sweep of equal readings is then no fault.
extern bool port_replies_fixed;

// Writes the low 8 bits of value to the data register.
void write_data(uint32_t value);

// Reads the status register, zero-extended.
uint32_t read_status();

// Runs the batch's accesses in order, filling in its reads and waits; a stop
// asked for (common/stop.hpp) ends it after the wait it came in, with
// batch.done short of its count.
void run_batch(port_batch &batch);

// Batches in flight: handed over now, run at once or (where the backend
// streams) later, returned in order once run. At most `batches_ahead`.
inline constexpr size_t batches_ahead = 32;
// Whether the port runs batches ahead of their results being taken.
bool port_streams();
void submit_batch(port_batch &batch);
// The oldest batch handed over and not yet returned, once it has run (its
// trace lines then written); null when none is left.
port_batch *completed_batch();

// Chooses and opens the backend named by setting (TALVIK_PORT; null or empty
// for the simulated instrument) and the trace named by trace_path (null for
// none), then sets the lines idle. A port that cannot be opened ends the run
// with status 4. The port is released when the process ends.
void open_port(const char *setting, const char *trace_path);

// Opens the backend that setting names, as open_port does, but returns
// instead of ending the run: false with "Can't open port SETTING: REASON".
// No trace, and the lines are not yet set idle.
bool try_open_port(const char *setting, char *reason, size_t reason_size);

// The open backend's name ("sim", "ftdi" ...), or null.
const char *port_name();
// The data lines as the backend reads them back; -1 where it cannot.
int read_data_back();

// Sets the lines idle, closes the backend and the trace. The status the run
// ends with: 0; 4 when the port could not be given back, 1 when the trace
// could not be written whole (said on standard error). Also run at exit.
int close_port();

// For a backend whose port stops answering mid-sweep, having let go of the
// device: reached is how many of the accesses it was given in this call got
// to the lines. The trace gets those, and no more; "Lost port NAME: why" and
// status 4.
[[noreturn]] void port_lost(const char *name, const char *why, size_t reached);
// Called there first, where set: a caller that goes on after a lost port
// (talvik-probe) throws from it to where it catches; it must not return.
extern void (*port_lost_hook)(const char *why);

// Sends the accesses to an already opened backend (tests and benchmarks).
void use_port(const port_backend *backend);

// Reads a port address for direct I/O (0x378, 888); on failure writes the
// reason.
bool read_port_address(const char *text, uint16_t *address, char *reason, size_t reason_size);

// Splits a setting into its kind and the text its backend is given; null when
// no kind takes it.
const port_kind *kind_for(const char *setting, const char **arg);

// The built backend of a kind; null when this build lacks it.
const port_backend *backend_of(const port_kind *kind);

// The forms and usage of every kind, one per line, indented by indent spaces.
void print_port_forms(std::FILE *out, int indent);
