// The parallel port: data register out, status register in, and the link
// that carries the accesses to the instrument through one backend.
#pragma once
#include "common/port_lines.hpp"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>

inline constexpr uint32_t port_base = 0x378; // data register; status at port_base + 1

// Line masks: AND takes a line low, OR with the complement takes it high.
inline constexpr uint32_t select_mask = 0xFF & ~conv_select_n_line; // 0xBF: converter selected
inline constexpr uint32_t release_mask = idle_lines;                // 0xFF: base for releasing it
inline constexpr uint32_t clock_mask = 0xFF & ~conv_clock_line;     // 0xDF: clock low
inline constexpr uint32_t data_one_mask = 0xFF & ~conv_data_line;   // 0xEF: complement sends a 1
inline constexpr uint32_t data_zero_mask = 0xFF;                    // complement adds nothing: a 0

// What one access of a batch does: a write of the data register; a read of
// the status register, whose value the backend fills in; a wait until the
// converter is ready (status bit 7 reads 0), given up after the ready wait's
// bound, whose value is the status that ended it and `late` set when it gave
// up; or the batch's delay on the host's clock.
enum class access_kind : uint8_t { write, read, wait_ready, delay };

// Plain and small, so that a batch on the stack costs nothing until filled.
struct port_access {
    access_kind kind;
    uint8_t value;
    bool late;
    bool operator==(const port_access &) const = default;
};

// Whether an access drives or samples the lines at once (a write or a read),
// as opposed to one that waits.
inline bool at_once(access_kind kind) {
    switch (kind) {
    case access_kind::write:
    case access_kind::read:
        return true;
    case access_kind::wait_ready:
    case access_kind::delay:
        return false;
    }
    return false;
}

// Accesses built on the stack and sent at once: a command, or a whole point
// with its waits. One past its capacity marks it overfull: the link then
// refuses to run it, rather than run a point cut short.
struct port_batch {
    static constexpr size_t capacity = 264; // a point: 122 + 1 + 2 x (66 + 1)
    port_access items[capacity];
    size_t count = 0;
    size_t done = 0;         // accesses carried out: all, unless a loss came first
    // The first wait or delay that a stop cut short: the batch still runs to
    // its end (a command is never left half sent), but what it measured after
    // that is not to be believed. not_cut where none was.
    static constexpr size_t not_cut = SIZE_MAX;
    size_t cut = not_cut;
    int32_t delay_ticks = 0; // the length of its delay: a batch has at most one
    bool overfull = false;
    // A sample of one of its ready waits read busy (a streamed window's, any
    // of them): its converter was seen converting.
    bool busy_seen = false;

    // Returns where the access is (its value is found there once run).
    size_t add(access_kind kind, uint8_t value = 0) {
        if (count == capacity) {
            overfull = true;
            return capacity - 1;
        }
        items[count] = {kind, value, false};
        return count++;
    }
    void write(uint32_t value) { add(access_kind::write, static_cast<uint8_t>(value & 0xFF)); }
    size_t read() { return add(access_kind::read); }
    size_t wait_ready() { return add(access_kind::wait_ready); }
    void delay(int32_t ticks) {
        add(access_kind::delay);
        delay_ticks = ticks;
    }
    // Room for n more accesses from the end: where to put them, unchecked,
    // and then commit(end); null, and the batch marked overfull, where there
    // is none. Builders of whole commands ask once, not at every access.
    port_access *reserve(size_t n) {
        if (n > capacity - count) {
            overfull = true;
            return nullptr;
        }
        return items + count;
    }
    void commit(const port_access *end) { count = static_cast<size_t>(end - items); }
    static void put(port_access *&at, access_kind kind, uint32_t value = 0) {
        *at++ = {kind, static_cast<uint8_t>(value & 0xFF), false};
    }
    void clear() {
        count = done = 0;
        cut = not_cut;
        delay_ticks = 0;
        overfull = false;
        busy_seen = false;
    }
    uint8_t value(size_t at) const { return items[at].value; }
};

// How a backend says its port stopped answering: why, and how many of the
// accesses it was given in the call (of the batch, for finish) got to the
// lines. A backend that fails has let go of its device already.
// Filled in only on failure: made blank at no cost on every access.
struct port_fault {
    char port[160]; // the port as the loss names it; empty: as the setting did
    char why[300];
    size_t reached;
    port_fault() : reached(0) { port[0] = why[0] = '\0'; }
};

// What a backend may tell its link between calls: accesses that reached the
// lines but whose batch is run again (a streamed point replayed), so that the
// trace shows every access that reached the lines, in order.
struct port_notes {
    void *link = nullptr;
    void (*reached)(void *link, const port_access *accesses, size_t count) = nullptr;
};

// Where the instrument's lines are: which pins a check names.
enum class port_wiring { parallel_port, adapter_pins, gpio_lines };

// One way of reaching the lines: a table of functions that each take the
// instance open() made, where the backend keeps all its state. Filled by
// field name; null marks what is optional.
struct port_backend {
    const char *name = nullptr;
    port_wiring wiring = port_wiring::parallel_port;
    // Makes an instance and opens the port, given the text after the form's
    // prefix ("/dev/parport0", "dut=notch", ...); null with the reason.
    void *(*open)(const char *arg, const port_notes &notes, char *reason,
                  size_t reason_size) = nullptr;
    // Gives the port back (a no-op where it was lost) and frees the
    // instance: true, or false with the reason.
    bool (*close)(void *self, char *reason, size_t reason_size) = nullptr;
    bool (*set_data)(void *self, uint8_t value, port_fault *fault) = nullptr;
    bool (*get_status)(void *self, uint8_t *value, port_fault *fault) = nullptr;
    // Optional: carries a run of writes and reads in one call, reads filled
    // in; where it is null they go one by one through set_data and
    // get_status. Waits never reach it.
    bool (*run_batch)(void *self, port_access *accesses, size_t count,
                      port_fault *fault) = nullptr;
    // Optional, both or neither: batches stream. submit() takes a batch that
    // stays put until finish() has been called for it; the backend may run
    // it later, and runs batches in order. finish(batch), for the oldest
    // batch not yet finished, returns once it has run, its reads and waits
    // filled in and its `done` set (short of its count when a stop came).
    bool (*submit)(void *self, port_batch *batch, port_fault *fault) = nullptr;
    bool (*finish)(void *self, port_batch *batch, port_fault *fault) = nullptr;
    // Optional: how this build's backend reads its argument, for --help.
    const char *detail = nullptr;
    // Optional: the data lines as they are (a wired line that does not follow
    // its write shows here) into *value, -1 where they cannot be read; false
    // when the port was lost on the way.
    bool (*read_data)(void *self, int *value, port_fault *fault) = nullptr;
    // Optional: the replies are fixed by design (a simulated instrument told
    // to answer one value), so a sweep of equal readings is no fault.
    bool (*replies_fixed)(void *self) = nullptr;
    // Optional: the busy line as this port names it ("GPIO6"); where null,
    // as its wiring does (pin 11, AD7).
    const char *(*busy_line)(void *self) = nullptr;
};

// Why a backend table cannot serve (a required function missing, submit
// without finish), or null.
const char *backend_incomplete(const port_backend &backend);

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

// The backends this build has, from the build's list; each checked whole
// before the first port opens.
extern const port_backend *const built_port_backends[];
extern const size_t built_port_backend_count;

// A failure the link or the results writer returns: the exit status it
// calls for (common/exit_status.hpp) and what to say.
struct port_error {
    int status = 0; // 0: none
    char text[800] = "";
    explicit operator bool() const { return status != 0; }
    void set(int status, const char *format, ...) __attribute__((format(printf, 3, 4)));
};

class port_trace;

// Batches a link holds in flight at most.
inline constexpr size_t batches_ahead = 32;

// The open link: the backend's instance, the trace and the batches in
// flight. Made by open_link, closed by its owner (close(), or at worst its
// destructor, which leaves the lines idle and the trace written).
class port_link {
public:
    port_link(const port_backend *backend, void *instance, const char *shown);
    ~port_link();
    port_link(const port_link &) = delete;
    port_link &operator=(const port_link &) = delete;

    // Sets the lines idle, closes the backend and the trace. 0, or the
    // error's status with its text: 4 when the port could not be given
    // back, 1 when the trace could not be written whole. A failure met
    // earlier (error()) is not repeated here.
    int close(port_error *error);

    // Closes, as close() does, and gives the run's status from the one it
    // had before: a port lost (in the run, or as the lines went idle) ends
    // with 4 whatever else failed; a close that fails sets it only where
    // nothing failed before. *error: what closing found, to be told
    // whatever came before (status 0 where nothing).
    int finish(int status, port_error *error);

    // The run's first failure while the link is open (a lost port, a trace
    // that cannot be written, a converter never ready, or one the run tells
    // it: a results file that cannot be written): no access reaches the port
    // after it, and it says why.
    const port_error &error() const { return failure; }
    void fail(int status, const char *text);

    // Why the backend said its port was lost, or null.
    const char *lost_why() const { return lost_reason[0] ? lost_reason : nullptr; }

    bool start_trace(const char *path); // false with errno set
    const port_backend &backend() const { return *ops; }

    // The core's accesses (the free functions below pass them on).
    void write(uint8_t value);
    uint8_t read();
    void run(port_batch &batch);
    bool streams() const;
    void submit(port_batch &batch);
    port_batch *completed();
    int read_data_back();
    bool replies_fixed();
    const char *busy_line();
    // Whether a ready wait's sample read busy since forget_busy().
    bool busy_seen() const { return busy_seen_; }
    void forget_busy() { busy_seen_ = false; }

private:
    void lost(const port_fault &fault, const port_access *items, size_t done);
    void run_accesses(port_access *items, size_t count);
    void trace_accesses(const port_access *items, size_t count);
    static void note_reached(void *self, const port_access *items, size_t count);

    const port_backend *ops;
    void *instance;
    bool gone = false; // the backend let go of its port: nothing more reaches it
    bool closed = false;
    char shown[160]; // the port as the user named it
    port_error failure;
    char lost_reason[300] = "";
    char loss[sizeof port_fault::why + sizeof port_fault::port + 40] = ""; // as told
    bool trace_told = false; // a trace that could not be written has said so
    std::unique_ptr<port_trace> trace;
    port_batch *queued[batches_ahead];
    size_t queue_head = 0, queue_tail = 0;
    bool busy_seen_ = false;
    friend std::unique_ptr<port_link> open_backend(const port_backend *, const char *,
                                                    const char *, port_error *);
};

// The link the program opened, set by its main (and by each test for the
// link it makes): the one process-wide pointer of the seam, so that the
// core's free functions keep their plain signatures.
extern port_link *the_link;

// Sets the_link for a scope, and puts back the one before.
struct using_link {
    port_link *before;
    explicit using_link(port_link *link) : before(the_link) { the_link = link; }
    ~using_link() { the_link = before; }
    using_link(const using_link &) = delete;
    using_link &operator=(const using_link &) = delete;
};

// Chooses and opens the backend named by setting (TALVIK_PORT; null or empty
// for the simulated instrument) and the trace named by trace_path (null for
// none), then, where asked, sets the lines idle. Null with the error: status
// 4 "Can't open port SETTING: REASON", or 1 for the trace file.
std::unique_ptr<port_link> open_link(const char *setting, const char *trace_path,
                                     port_error *error, bool set_idle = true);

// Opens a given backend, as open_link does with a kind's, without trace or
// idle write (tests and benchmarks bring their own backends).
std::unique_ptr<port_link> open_backend(const port_backend *backend, const char *arg,
                                        const char *shown, port_error *error);

// The link's first failure, or null while it has none (or none is open).
const port_error *link_failure();
// Records a failure of the run on the open link: accesses stop reaching it.
void link_fail(int status, const char *text);

// Writes the low 8 bits of value to the data register.
void write_data(uint32_t value);

// Reads the status register, zero-extended.
uint32_t read_status();

// Runs the batch's accesses in order, filling in its reads and waits; a stop
// asked for (common/stop.hpp) ends it after the wait it came in, with
// batch.done short of its count, as a failure of the link does.
void run_batch(port_batch &batch);

// Batches in flight (batches_ahead at most): handed over now, run at once
// or (where the backend streams) later, returned in order once run.
// Whether the port runs batches ahead of their results being taken.
bool port_streams();
void submit_batch(port_batch &batch);
// The oldest batch handed over and not yet returned, once it has run (its
// trace lines then written); null when none is left.
port_batch *completed_batch();

// How the open link's lines are wired.
port_wiring port_wiring_of();
// The data lines as the backend reads them back; -1 where it cannot.
int read_data_back();
// Whether the open backend's replies are fixed by design.
bool port_replies_fixed();
// The open port's busy line as it names it: "pin 11", "AD7", "GPIO6".
const char *port_busy_line();
// Whether any ready wait's sample read busy since port_forget_busy().
bool port_busy_seen();
void port_forget_busy();

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
