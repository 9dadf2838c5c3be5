// An FTDI FT232R, FT232H or FT2232H (interface A) in synchronous bit-bang
// mode; its bytes travel through libftdi1 or ftd2xx.dll (ftdi_transport.hpp).
// Accesses at once go out a batch a USB write; a sweep streams. The chip samples
// its pins just before it drives each byte, so the state after byte k comes
// back with byte k+1: a read is answered by the sample of the byte after it,
// and where no byte follows, a repeat of the last one (which changes no line)
// is sent for it.
#include "link/backends.hpp"
#include "link/ftdi_transport.hpp"
#include "link/link.hpp"

#include "common/clock.hpp"
#include "common/stop.hpp"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// Pin map: D0-D2 on AD0-AD2, D4-D6 on AD3-AD5 (D3 and D7 are not wired);
// AD6 and AD7 are inputs.
constexpr uint8_t output_pins = 0x3F;
constexpr uint8_t data_out_pin = 0x40; // AD6: converter serial data out
constexpr uint8_t busy_pin = 0x80;     // AD7: the converter's busy pin, low while busy

uint8_t pins_of(uint8_t data) { return static_cast<uint8_t>((data & 0x07) | ((data >> 1) & 0x38)); }

// What a parallel port's status register would read: bit 7 inverts the pin.
uint8_t status_of(uint8_t pins) {
    return static_cast<uint8_t>(((pins & data_out_pin) ? status_data : 0) |
                                ((pins & busy_pin) ? 0 : status_busy));
}

// Busy samples read after each exchange: a converter ready within 32 us
// costs no round trip of its own.
constexpr size_t read_ahead = 32;
constexpr int answer_ms = 1000; // a chip that has not answered by then is lost

bool ftdi = false; // the adapter is open
char shown[160];    // the port as the user named it
size_t chip_buffer; // samples the chip holds for the host
size_t unread;      // samples of bytes sent and not yet read
size_t read_back;   // of those, read by the last collect, even one that failed
bool bitbang;       // the chip is in a bit-bang mode: reset it before closing
uint8_t last_pins = output_pins;
uint8_t ahead[read_ahead];
size_t ahead_count, ahead_next;
uint8_t tx[2 * port_batch::capacity + read_ahead];
uint8_t rx[4096];

// Takes the chip out of bit-bang mode and lets go of it: the kernel's serial
// driver comes back. The reason when the reset failed, else null.
const char *release() {
    static char why[200];
    const char *failed = nullptr;
    if (ftdi) {
        if (bitbang && !transport_set_mode(0x00, ftdi_mode_reset)) {
            std::snprintf(why, sizeof why, "cannot leave bit-bang mode: %s", transport_error());
            failed = why;
        }
        transport_close();
    }
    ftdi = false;
    bitbang = false;
    return failed;
}

// The adapter failed mid-sweep: where it is still there, its lines go idle
// and it leaves bit-bang mode. reached: the accesses of this call whose
// bytes were driven.
bool skip_idle = false; // a write is stuck on its way: no idle byte behind it
size_t run_offset = 0;  // where the chunk under way starts in its run

[[noreturn]] void lost(const char *why, size_t reached) {
    char reason[200];
    std::snprintf(reason, sizeof reason, "%s", why); // the context's text goes with it
    uint8_t idle = output_pins;
    if (!skip_idle)
        (void)transport_write(&idle, 1);
    skip_idle = false;
    release();
    size_t offset = run_offset;
    run_offset = 0;
    port_lost(shown, reason, offset + reached);
}

// Reads the samples of every byte sent so far into rx; the reason on failure.
const char *read_samples() {
    read_back = 0;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(answer_ms);
    while (read_back < unread) {
        int n = transport_read(rx + read_back, unread - read_back);
        if (n < 0)
            return transport_error();
        read_back += static_cast<size_t>(n);
        if (n == 0 && std::chrono::steady_clock::now() > deadline)
            return "the adapter stopped answering";
    }
    unread = 0;
    return nullptr;
}

void collect() {
    if (const char *why = read_samples())
        lost(why, 0);
}

// Sends bytes; never lets the chip hold more samples than its buffer, where
// it would stall its clock.
void send(const uint8_t *bytes, size_t count) {
    if (unread + count > chip_buffer)
        collect();
    if (!transport_write(bytes, count))
        lost(transport_error(), 0);
    unread += count;
}

// Repeats of the last byte, whose samples answer the reads to come.
void refill() {
    std::memset(tx, last_pins, read_ahead);
    send(tx, read_ahead);
    size_t before = unread - read_ahead;
    collect();
    std::memcpy(ahead, rx + before, read_ahead);
    ahead_count = read_ahead;
    ahead_next = 0;
}

// The stream, when one runs, is brought to rest before any access at once.
void stream_quiet();

// The converter's slowest conversion seen in the ready waits, in samples
// (microseconds): what the stream's ready windows are sized from.
size_t busy_run, slowest_busy;

void ftdi_set_data(uint8_t value) {
    if (!ftdi)
        return;
    stream_quiet();
    busy_run = 0;
    ahead_count = 0; // older samples say nothing of the lines from now on
    last_pins = pins_of(value);
    send(&last_pins, 1);
}

uint8_t ftdi_get_status() {
    if (!ftdi)
        return 0;
    stream_quiet();
    if (ahead_next >= ahead_count)
        refill();
    uint8_t status = status_of(ahead[ahead_next++]);
    if (status & status_busy) {
        ++busy_run;
    } else if (busy_run) {
        slowest_busy = busy_run > slowest_busy ? busy_run : slowest_busy;
        busy_run = 0;
    }
    return status;
}

void run_chunk(port_access *accesses, size_t count) {
    size_t n = 0;
    size_t at[port_batch::capacity]; // the byte whose sample answers each read
    bool reads = false;
    for (size_t i = 0; i < count; ++i) {
        if (accesses[i].kind == 'W') {
            last_pins = pins_of(accesses[i].value);
            tx[n++] = last_pins;
        } else {
            reads = true;
            at[i] = n;
            if (i + 1 == count || accesses[i + 1].kind != 'W')
                tx[n++] = last_pins;
        }
    }
    ahead_count = 0;
    if (!reads) {
        // Its samples wait in the chip: the next batch's read takes them.
        send(tx, n);
        return;
    }
    std::memset(tx + n, last_pins, read_ahead);
    send(tx, n + read_ahead);
    size_t before = unread - (n + read_ahead);
    const uint8_t *mine = rx + before;
    if (const char *why = read_samples()) {
        // What reached the lines: the accesses whose bytes were driven, as
        // the samples read back show.
        size_t driven = read_back > before ? read_back - before : 0, reached = 0, byte = 0;
        for (; reached < count; ++reached) {
            if (accesses[reached].kind == 'W') {
                if (byte >= driven)
                    break;
                ++byte;
            } else {
                if (at[reached] >= driven)
                    break;
                accesses[reached].value = status_of(mine[at[reached]]);
                if (reached + 1 == count || accesses[reached + 1].kind != 'W')
                    ++byte;
            }
        }
        lost(why, reached);
    }
    for (size_t i = 0; i < count; ++i)
        if (accesses[i].kind == 'R')
            accesses[i].value = status_of(mine[at[i]]);
    std::memcpy(ahead, mine + n, read_ahead);
    ahead_count = read_ahead;
    ahead_next = 0;
}

// A run longer than the chip holds samples for goes in pieces, each with its
// bytes (a write's, a last read's repeat) and the read-ahead within it.
void ftdi_run_batch(port_access *accesses, size_t count) {
    stream_quiet();
    busy_run = 0;
    size_t room = chip_buffer - read_ahead - 1;
    for (size_t first = 0; first < count;) {
        size_t end = first, bytes = 0;
        while (end < count && bytes < room) {
            bytes += accesses[end].kind == 'W' ? 1 : 0;
            ++end;
        }
        run_offset = first; // a lost port counts what reached from the run's start
        run_chunk(accesses + first, end - first);
        first = end;
    }
    run_offset = 0;
}

// ---- The stream ----
// Whole points go out ahead in asynchronous writes while their samples come
// back in the same thread: libusb completes the write inside the reads. The
// chip clocks a byte only while it has room for its sample, so the host's
// reading paces it; nothing waits for a round trip. A read is answered by
// the sample of the byte after it; a ready wait becomes a window of idle
// bytes (repeats of the release byte) whose last sample must read ready.
// Where it does not, the converter was slower than measured: that point is
// run again at once, with exact waits, and the windows widen.

constexpr size_t stage_size = 16384;           // bytes an asynchronous write carries
constexpr size_t ahead_limit = 3 * stage_size; // bytes out and not yet back
constexpr size_t max_window = 4096;
constexpr size_t ring_size = 1 << 17; // samples kept until their point is done

uint8_t stage[2][stage_size];
int staging;                        // the buffer being filled; the other may be on its way
size_t staged;                      // its bytes
bool writing;                       // a hand-over on its way
uint64_t encoded, handed, received; // bytes encoded, handed to USB; samples back
uint8_t ring[ring_size];
uint8_t stream_pins, handed_pins; // the pins of the last byte encoded, and handed over
size_t window;
bool stream_busy; // the stream runs: nothing goes at once
bool stopping;    // a stop came: nothing more is sent

struct streamed {
    port_batch *batch;
    size_t next;  // the next access to encode
    uint64_t end; // one past its last byte, once encoded whole
    bool whole;
};
streamed queue[batches_ahead];
uint64_t answers[batches_ahead][port_batch::capacity]; // each access's byte or sample
size_t first, queued, encoding; // the oldest, how many, how many encoded whole

streamed &at(size_t k) { return queue[(first + k) % batches_ahead]; }
uint64_t *answers_at(size_t k) { return answers[(first + k) % batches_ahead]; }
uint8_t sample(uint64_t k) { return ring[k % ring_size]; }

// How much of the oldest batch has run, as the samples back show; its reads
// and waits that far filled in.
size_t reached_by_oldest() {
    if (queued == 0)
        return 0;
    streamed &s = at(0);
    uint64_t *answer = answers_at(0);
    size_t reached = 0;
    while (reached < s.next && (s.batch->items[reached].kind == 'D' || answer[reached] < received)) {
        port_access &a = s.batch->items[reached];
        if (a.kind == 'R' || a.kind == 'B')
            a.value = status_of(sample(answer[reached]));
        if (a.kind == 'B' && (a.value & status_busy))
            break; // a window that read busy: what follows it may be spoiled
        ++reached;
    }
    return reached;
}

[[noreturn]] void lost_in_stream(const char *why) {
    size_t reached = reached_by_oldest();
    // Behind a write still on its way an idle byte would wait for it: the
    // transport cancels that write as it closes.
    skip_idle = writing;
    writing = false;
    lost(why, reached);
}

void settle_write(bool wait = true) {
    if (!writing)
        return;
    int n = transport_handed(wait);
    if (n < 0) {
        writing = false;
        lost_in_stream(transport_error());
    }
    writing = n == 0;
}

void start_write() {
    if (writing || staged == 0)
        return;
    if (!transport_hand_over(stage[staging], staged))
        lost_in_stream(transport_error());
    writing = true;
    handed += staged;
    handed_pins = stage[staging][staged - 1];
    staged = 0;
    staging ^= 1;
}

// Takes the samples that have come back; lost after a second of nothing.
std::chrono::steady_clock::time_point last_sample;
void take_samples() {
    uint8_t chunk[4096];
    size_t want = handed - received < sizeof chunk ? handed - received : sizeof chunk;
    if (want == 0) {
        settle_write();
        last_sample = std::chrono::steady_clock::now();
        return;
    }
    int n = transport_read(chunk, want);
    if (n < 0)
        lost_in_stream(transport_error());
    for (int i = 0; i < n; ++i)
        ring[(received + static_cast<uint64_t>(i)) % ring_size] = chunk[i];
    received += static_cast<uint64_t>(n);
    auto now = std::chrono::steady_clock::now();
    if (n > 0)
        last_sample = now;
    else if (now - last_sample > std::chrono::milliseconds(answer_ms))
        lost_in_stream("the adapter stopped answering");
    settle_write(false);
}

// The caller has made room: waiting here for a write to finish, with nobody
// reading, would stall the chip.
void emit(uint8_t pins) {
    stage[staging][staged++] = pins;
    stream_pins = pins;
    ++encoded;
}

// Everything handed over has come back.
void drain() {
    start_write();
    last_sample = std::chrono::steady_clock::now();
    while (received < handed || writing) {
        take_samples();
        start_write();
    }
}

// Forgets what was encoded and not yet sent.
void unstage() {
    staged = 0;
    encoded = handed;
    stream_pins = handed_pins;
}

// The most bytes a batch can take: a byte an access, a repeat after a read,
// and each wait's window.
size_t bytes_at_most(const port_batch &b) {
    size_t bytes = 0;
    for (size_t i = 0; i < b.count; ++i)
        bytes += b.items[i].kind == 'B' ? window : b.items[i].kind == 'D' ? 0 : 2;
    return bytes;
}

// Encodes whole batches while they fit, so that the stream only ever comes
// to rest between batches (the lines idle, the converter released); a delay
// waits until every byte before it has been driven.
void encode_more() {
    while (encoding < queued) {
        streamed &s = at(encoding);
        uint64_t *answer = answers_at(encoding);
        port_batch &b = *s.batch;
        if (s.next == 0) {
            size_t need = bytes_at_most(b);
            if (encoded - received + need > ahead_limit)
                return;
            if (staged + need > stage_size) {
                if (writing)
                    return; // the reads will see the write through
                start_write();
            }
        }
        while (s.next < b.count) {
            port_access &a = b.items[s.next];
            char next = s.next + 1 < b.count ? b.items[s.next + 1].kind : 0;
            if (a.kind == 'W') {
                emit(pins_of(a.value));
                answer[s.next] = encoded - 1;
            } else if (a.kind == 'R') {
                answer[s.next] = encoded; // the next byte's sample
                if (next != 'W' && next != 'B')
                    emit(stream_pins);
            } else if (a.kind == 'B') {
                for (size_t k = 0; k < window; ++k)
                    emit(stream_pins);
                answer[s.next] = encoded - 1;
            } else {
                drain();
                delay_ticks(b.delay_ticks);
                if (!keep_waiting())
                    return;
                answer[s.next] = encoded;
            }
            ++s.next;
        }
        s.end = encoded;
        s.whole = true;
        ++encoding;
    }
}

// Fills in the oldest batch from its samples; false when a window read busy.
bool fill_oldest() {
    port_batch &b = *at(0).batch;
    uint64_t *answer = answers_at(0);
    bool held = true;
    for (size_t i = 0; i < b.count; ++i) {
        port_access &a = b.items[i];
        if (a.kind == 'R' || a.kind == 'B')
            a.value = status_of(sample(answer[i]));
        if (a.kind == 'B') {
            a.late = false;
            held = held && !(a.value & status_busy);
        }
    }
    b.done = b.count;
    return held;
}

void pop_oldest() {
    first = (first + 1) % batches_ahead;
    --queued;
    if (encoding)
        --encoding;
}

// Polls until the converter is ready, as on a parallel port.
uint8_t wait_ready_now(port_access &wait) {
    int32_t t0 = tick_clock();
    uint8_t status;
    wait.late = false;
    while ((status = ftdi_get_status()) & status_busy) {
        if (!keep_waiting())
            break;
        if (tick_clock() - t0 > ready_timeout_ticks) {
            wait.late = true;
            break;
        }
    }
    return wait.value = status;
}

// Runs a batch at once, its waits polled.
void run_now(port_batch &b) {
    b.done = 0;
    for (size_t i = 0; i < b.count;) {
        port_access &a = b.items[i];
        if (a.kind == 'B' || a.kind == 'D') {
            if (a.kind == 'B')
                wait_ready_now(a);
            else
                delay_ticks(b.delay_ticks);
            b.done = ++i;
            if (!keep_waiting())
                return;
            continue;
        }
        size_t end = i;
        while (end < b.count && (b.items[end].kind == 'W' || b.items[end].kind == 'R'))
            ++end;
        ftdi_run_batch(b.items + i, end - i);
        b.done = i = end;
    }
}

// Brings the stream to rest: what was sent comes back, what was not is
// forgotten, and accesses go at once from here.
void stream_rest() {
    unstage();
    drain();
    last_pins = handed_pins;
    unread = ahead_count = ahead_next = 0;
    stream_busy = false;
}

// From rest: the samples of the accesses at once are all in, the queued
// batches are encoded afresh, and the windows are sized from the slowest
// conversion seen, with a margin.
void stream_begin() {
    collect();
    ahead_count = ahead_next = 0;
    stream_pins = handed_pins = last_pins;
    encoded = handed = received = 0;
    encoding = 0;
    for (size_t k = 0; k < queued; ++k) {
        at(k).next = 0;
        at(k).whole = false;
    }
    size_t measured = 2 * slowest_busy + 16;
    window = measured > window ? measured : window;
    window = window > max_window ? max_window : window;
    stopping = false;
    stream_busy = true;
}

void ftdi_submit(port_batch *batch) {
    queue[(first + queued) % batches_ahead] = {batch, 0, 0, false};
    ++queued;
    if (!stream_busy)
        stream_begin();
}

void ftdi_finish(port_batch *batch) {
    if (queued == 0 || at(0).batch != batch)
        return; // already let go, as far as it reached, when the stream came to rest
    if (!stream_busy)
        stream_begin();
    last_sample = std::chrono::steady_clock::now();
    for (;;) {
        streamed &s = at(0);
        if (s.whole && received >= s.end) {
            if (fill_oldest()) {
                pop_oldest();
                return;
            }
            // A window read busy: this point's readings are suspect, and so
            // is everything sent after it. At rest, the converter is waited
            // for, the point run again with exact waits, the windows widened.
            stream_rest();
            port_access settle = {'B', 0, false};
            wait_ready_now(settle);
            run_now(*s.batch);
            window = 2 * window > max_window ? max_window : 2 * window;
            pop_oldest();
            return;
        }
        if (!stopping && !keep_waiting()) {
            // A stop: what was sent comes back; nothing more is sent.
            stopping = true;
            unstage();
            drain();
            continue;
        }
        if (stopping) {
            s.batch->done = reached_by_oldest();
            pop_oldest();
            return;
        }
        encode_more();
        start_write();
        take_samples();
    }
}

void stream_quiet() {
    if (!stream_busy)
        return;
    stream_rest();
    // Batches not finished are let go as far as they reached.
    while (queued) {
        at(0).batch->done = reached_by_oldest();
        pop_oldest();
    }
}

bool refuse(char *reason, size_t size, const char *format, const char *detail) {
    std::snprintf(reason, size, format, detail);
    release();
    return false;
}

// A step of the open that failed once bit-bang mode may be set: the reason,
// then the chip leaves the mode and is closed.
bool refuse_open_step(char *reason, size_t size) {
    return refuse(reason, size, "%s", transport_error());
}

bool ftdi_open(const char *device, char *reason, size_t size) {
    std::snprintf(shown, sizeof shown, "%s%s", *device ? "ftdi:" : "ftdi", device);
    ftdi_chip chip = ftdi_chip::other;
    if (!transport_open(device, &chip, reason, size))
        return false;
    ftdi = true;
    bitbang = false;
    switch (chip) {
    case ftdi_chip::ft232r:
        chip_buffer = 128;
        break;
    case ftdi_chip::ft232h:
        chip_buffer = 1024;
        break;
    case ftdi_chip::ft2232h:
        chip_buffer = 4096;
        break;
    default:
        return refuse(reason, size, "%s",
                      "not an FT232R, FT232H or FT2232H; other FTDI chips are not supported");
    }
    unread = ahead_count = ahead_next = 0;
    busy_run = slowest_busy = window = 0;
    first = queued = encoding = staged = 0;
    writing = false;
    stream_busy = false;
    last_pins = output_pins;
    // The outputs come up idle: the level is set while every pin is still an
    // input, then the six outputs are turned on.
    if (!transport_purge())
        return refuse_open_step(reason, size);
    bitbang = true; // from the first try on: a half-done set leaves the mode on
    if (!transport_set_mode(0x00, ftdi_mode_bitbang) || !transport_write(&last_pins, 1) ||
        !transport_set_mode(output_pins, ftdi_mode_syncbb) || !transport_purge() ||
        !transport_set_byte_rate() || !transport_set_latency())
        return refuse_open_step(reason, size);
    return true;
}

const char *ftdi_close() {
    static char why[200];
    if (!ftdi)
        return nullptr;
    stream_quiet();
    // Every byte, the idle one last, has been driven before the mode goes.
    const char *failed = read_samples();
    if (failed)
        std::snprintf(why, sizeof why, "%s", failed);
    const char *reset = release();
    return failed ? why : reset;
}

// The outputs as the chip samples its pins, D3 and D7 (not wired) high.
int ftdi_read_data() {
    if (!ftdi)
        return -1;
    stream_quiet();
    if (ahead_next >= ahead_count)
        refill();
    uint8_t pins = ahead[ahead_next];
    return 0x88 | (pins & 0x07) | ((pins & 0x38) << 1);
}

} // namespace

extern const port_backend ftdi_port = {"ftdi",          ftdi_open,      ftdi_close,
                                       ftdi_set_data,   ftdi_get_status, ftdi_run_batch,
                                       ftdi_submit,     ftdi_finish,     ftdi_device_forms,
                                       ftdi_read_data};
