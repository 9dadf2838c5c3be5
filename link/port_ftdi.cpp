// An FTDI FT232R, FT232H or FT2232H (interface A) in synchronous bit-bang
// mode; its bytes travel through libftdi1 or ftd2xx.dll (ftdi_transport.hpp)
// and are encoded as ftdi_codec.hpp says. Accesses at once go out a batch a
// USB write; a sweep streams. Every piece of state is the adapter's instance.
#include "link/backends.hpp"
#include "link/batch_walk.hpp"
#include "link/ftdi_codec.hpp"
#include "link/ftdi_transport.hpp"
#include "link/link.hpp"

#include "common/clock.hpp"
#include "common/stop.hpp"
#include "common/text.hpp"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

// Busy samples read after each exchange: a converter ready within 32 us
// costs no round trip of its own.
constexpr size_t read_ahead = 32;
constexpr int answer_ms = 1000; // a chip that has not answered by then is lost

// ---- The stream ----
// Whole points go out ahead in asynchronous writes while their samples come
// back in the same thread: libusb completes the write inside the reads. The
// chip clocks a byte only while it has room for its sample, so the host's
// reading paces it; nothing waits for a round trip. A ready wait becomes a
// window of idle bytes (repeats of the release byte) whose last sample must
// read ready. Where it does not, the converter was slower than measured:
// that point is run again at once, with exact waits, and the windows widen.
constexpr size_t stage_size = 16384;           // bytes an asynchronous write carries
constexpr size_t ahead_limit = 3 * stage_size; // bytes out and not yet back
constexpr size_t max_window = 4096;
constexpr size_t ring_size = 1 << 17; // samples kept until their point is done

// idle: accesses go at once; streaming: batches run ahead; stopping: a stop
// came, what was sent comes back and nothing more is sent, until the last
// batch is let go; lost: the adapter is gone.
enum class stream_state { idle, streaming, stopping, lost };

using clock_type = std::chrono::steady_clock;

// Where the instrument's frame stands after the bytes handed over so far, so
// that a loss can finish it: the converter selected with so many clocks (and
// these command bits) in, or the synthesizer holding bits of a load not yet
// applied. The synthesizer listens while the converter is released.
struct frame_state {
    static constexpr uint8_t data_in = 0x08, clock = 0x10, select_n = 0x20; // AD3-AD5
    static constexpr uint8_t synth_clock = 0x02, synth_update = 0x04, synth_lines = 0x07;
    uint8_t pins = ftdi_output_pins;
    int clocks = 0;
    uint32_t bits = 0;
    int loaded = 0;
    // A write that failed may have been driven in part: how far is not told.
    // Then only what its prefixes could have left is known.
    bool known = true, maybe_loading = false, maybe_selected = false;
    void failed_write(const uint8_t *bytes, size_t count) {
        frame_state f = *this;
        for (size_t i = 0; i <= count; ++i) {
            maybe_loading = maybe_loading || (f.open() && !f.selected());
            maybe_selected = maybe_selected || f.selected();
            if (i < count)
                f.feed(bytes[i]);
        }
        known = false;
    }

    bool selected() const { return !(pins & select_n); }
    void feed(uint8_t p) {
        bool was = selected(), now = !(p & select_n);
        auto rose = [&](uint8_t line) { return !(pins & line) && (p & line); };
        if (now && !was)
            clocks = 0, bits = 0;
        if (now && was && rose(clock))
            ++clocks, bits = (bits << 1) | ((p & data_in) ? 1 : 0);
        if (!now && rose(synth_clock))
            ++loaded;
        if (!now && rose(synth_update))
            loaded = 0;
        pins = p;
    }
    // Under way: the converter selected, or a load's bits not applied, or
    // the synthesizer's lines where raising them would clock it.
    bool open() const {
        return selected() || loaded || (pins & synth_lines) != synth_lines;
    }
};

struct streamed {
    port_batch *batch;
    size_t next;    // the next access to encode
    uint64_t begin; // its first byte
    uint64_t end;   // one past its last byte, once encoded whole
    bool whole;
};

struct adapter {
    ftdi_transport *usb = nullptr; // null once let go
    port_notes notes;
    char shown[160] = ""; // the port as a loss names it
    char why[300] = ""; // the fault, once lost
    size_t reached = 0; // of the call's accesses, once lost

    size_t chip_buffer = 0; // samples the chip holds for the host
    size_t unread = 0;      // samples of bytes sent and not yet read
    size_t read_back = 0;   // of those, read by the last collect, even one that failed
    bool bitbang = false;   // the chip is in a bit-bang mode: reset it before closing
    uint8_t last_pins = ftdi_output_pins;
    uint8_t ahead[read_ahead];
    size_t ahead_count = 0, ahead_next = 0;
    uint8_t tx[2 * port_batch::capacity + read_ahead];
    uint8_t rx[4096];
    // The converter's slowest conversion seen in the ready waits, in samples
    // (microseconds): what the stream's ready windows are sized from.
    size_t busy_run = 0, slowest_busy = 0;

    uint8_t stage[2][stage_size];
    int staging = 0;     // the buffer being filled; the other may be on its way
    size_t staged = 0;   // its bytes
    bool writing = false; // a hand-over on its way
    uint64_t encoded = 0, handed = 0, received = 0; // bytes encoded, handed to USB; samples back
    uint8_t ring[ring_size];
    uint8_t stream_pins = 0, handed_pins = 0; // the pins of the last byte encoded, and handed over
    size_t window = 0;
    frame_state frame;                      // after every byte handed over
    frame_state before_flight;              // before the write on its way
    size_t flight_size = 0;                 // its bytes, in the other stage buffer
    uint64_t sent_total = 0, read_total = 0; // bytes handed over, samples read, ever
    stream_state state = stream_state::idle;
    streamed queue[batches_ahead];
    uint64_t answers[batches_ahead][port_batch::capacity]; // each access's byte or sample
    size_t first = 0, queued = 0, encoding = 0; // the oldest, how many, how many encoded whole
    clock_type::time_point last_sample;

    streamed &at(size_t k) { return queue[(first + k) % batches_ahead]; }
    uint64_t *answers_at(size_t k) { return answers[(first + k) % batches_ahead]; }
    uint8_t sample(uint64_t k) const { return ring[k % ring_size]; }

    // Takes the chip out of bit-bang mode and lets go of it: the kernel's
    // serial driver comes back. False with why when the reset failed.
    bool release() {
        bool ok = true;
        if (usb) {
            if (bitbang && !transport_set_mode(usb, 0x00, ftdi_mode_reset)) {
                std::snprintf(why, sizeof why, "cannot leave bit-bang mode: %s",
                              transport_error(usb));
                ok = false;
            }
            transport_close(usb);
        }
        usb = nullptr;
        bitbang = false;
        return ok;
    }

    void handed_over(const uint8_t *bytes, size_t count) {
        for (size_t i = 0; i < count; ++i)
            frame.feed(bytes[i]);
        sent_total += count;
    }

    // Lets the chip drive what it was given: with nobody reading it stalls
    // once its buffer of samples is full, so that buffer is emptied as often
    // as it fills until every byte can have been driven, a write on its way
    // taken whole first. False when the adapter does not answer (gone).
    bool drive_out() {
        auto deadline = clock_type::now() + std::chrono::milliseconds(answer_ms);
        auto fill = std::chrono::microseconds(chip_buffer);
        while (writing) {
            if (!transport_purge_samples(usb))
                return false;
            int taken = transport_handed(usb, false);
            if (taken < 0 || clock_type::now() > deadline)
                return false;
            writing = taken == 0;
            delay_micros(fill);
        }
        uint64_t left = sent_total - read_total;
        for (uint64_t k = 0; k <= left / chip_buffer + 1; ++k) {
            if (!transport_purge_samples(usb))
                return false;
            delay_micros(fill);
        }
        return true;
    }
    static void delay_micros(std::chrono::microseconds d) {
        auto until = clock_type::now() + d;
        while (clock_type::now() < until) {
        }
    }

    // After a failure with the adapter still there: what was queued is
    // driven, the frame under way completed (a load never applied: the
    // converter is selected first, so that raising the synthesizer's lines
    // clocks nothing; an exchange clocked to its 16th bit with the command
    // it began), and the lines left idle. Resetting the chip from within a
    // frame would float its lines high at once: the same edge. False when
    // the adapter is gone.
    bool finish_frame() {
        if (!frame.known || !drive_out())
            return false;
        uint8_t out[48];
        size_t n = 0;
        uint8_t p = frame.pins;
        if (frame.open()) {
            if (!frame.selected()) {
                p &= static_cast<uint8_t>(~frame_state::select_n); // its lines as they are
                out[n++] = p;
                frame.clocks = 0;
                frame.bits = 0;
            }
            p |= frame_state::synth_lines; // gated while selected
            out[n++] = p;
            // The command it began: a reading unless only a start-up word
            // has these first bits.
            uint32_t command = measure_command;
            auto begins = [&](uint32_t word) {
                return frame.clocks == 0 || frame.clocks >= 16 ||
                       (word >> (16 - frame.clocks)) == frame.bits;
            };
            for (uint32_t word : start_up_words)
                if (!begins(command) && begins(word))
                    command = word;
            for (int bit = 15 - frame.clocks; bit >= 0; --bit) {
                p &= static_cast<uint8_t>(~frame_state::clock);
                p = static_cast<uint8_t>(((command >> bit) & 1) ? p | frame_state::data_in
                                                                : p & ~frame_state::data_in);
                out[n++] = p;
                out[n++] = p |= frame_state::clock;
            }
        }
        out[n++] = ftdi_output_pins; // released, every line high
        if (!transport_write(usb, out, n))
            return false;
        handed_over(out, n);
        return drive_out();
    }

    // The adapter failed: where it is still there, the frame under way is
    // finished, its lines go idle and it leaves bit-bang mode; where it is
    // gone the message says what the instrument may be left with.
    // reached_now: the accesses of this call whose bytes were driven. Always
    // false, for the caller to return.
    bool lost(const char *reason, size_t reached_now) {
        std::snprintf(why, sizeof why, "%s", reason);
        reached = reached_now;
        // The reset that follows floats every line high: from within a
        // frame, an edge the instrument may take.
        bool loading = frame.known ? frame.open() && !frame.selected() : frame.maybe_loading;
        bool selected = frame.known ? frame.selected() : frame.maybe_selected;
        if (usb && !finish_frame() && (loading || selected))
            std::snprintf(why, sizeof why, "%s; %s", reason,
                          loading ? "the instrument may hold a partly loaded or wrong word"
                                  : "the converter may be left selected");
        char first[300], stuck[300];
        std::snprintf(first, sizeof first, "%s", why);
        bool reset = release();
        std::snprintf(stuck, sizeof stuck, "%s", reset ? "" : why);
        // The first failure is the one told; a chip left in bit-bang mode too.
        std::string told = std::string(first) + (reset ? "" : "; ") + stuck;
        std::snprintf(why, sizeof why, "%s", told.c_str());
        state = stream_state::lost;
        return false;
    }
    bool lost_usb(size_t reached_now) { return lost(transport_error(usb), reached_now); }

    // Reads the samples of every byte sent so far into rx; the reason on failure.
    const char *read_samples() {
        read_back = 0;
        auto deadline = clock_type::now() + std::chrono::milliseconds(answer_ms);
        while (read_back < unread) {
            int n = transport_read(usb, rx + read_back, unread - read_back);
            if (n < 0)
                return transport_error(usb);
            read_back += static_cast<size_t>(n);
            read_total += static_cast<uint64_t>(n);
            if (n == 0 && clock_type::now() > deadline)
                return "the adapter stopped answering";
        }
        unread = 0;
        return nullptr;
    }

    bool collect() {
        if (const char *failed = read_samples())
            return lost(failed, 0);
        return true;
    }

    // Sends bytes; never lets the chip hold more samples than its buffer,
    // where it would stall its clock.
    bool send(const uint8_t *bytes, size_t count) {
        if (unread + count > chip_buffer && !collect())
            return false;
        if (!transport_write(usb, bytes, count)) {
            frame.failed_write(bytes, count);
            return lost_usb(0);
        }
        handed_over(bytes, count);
        unread += count;
        return true;
    }

    // Repeats of the last byte, whose samples answer the reads to come.
    bool refill() {
        std::memset(tx, last_pins, read_ahead);
        if (!send(tx, read_ahead))
            return false;
        size_t before = unread - read_ahead;
        if (!collect())
            return false;
        std::memcpy(ahead, rx + before, read_ahead);
        ahead_count = read_ahead;
        ahead_next = 0;
        return true;
    }

    bool set_data(uint8_t value) {
        if (!quiet())
            return false;
        busy_run = 0;
        ahead_count = 0; // older samples say nothing of the lines from now on
        last_pins = pins_of(value);
        return send(&last_pins, 1);
    }

    bool get_status(uint8_t *status) {
        *status = 0;
        if (!quiet())
            return false;
        if (ahead_next >= ahead_count && !refill())
            return false;
        *status = status_of(ahead[ahead_next++]);
        if (*status & status_busy) {
            ++busy_run;
        } else if (busy_run) {
            slowest_busy = busy_run > slowest_busy ? busy_run : slowest_busy;
            busy_run = 0;
        }
        return true;
    }

    // reached: counted from the chunk's start.
    bool run_chunk(port_access *accesses, size_t count) {
        size_t n = 0;
        size_t answer[port_batch::capacity]; // the byte whose sample answers each read
        bool reads = false;
        for (size_t i = 0; i < count; ++i) {
            bool has_next = i + 1 < count;
            ftdi_encoded e = encode_access(accesses[i], has_next,
                                           has_next ? accesses[i + 1].kind : access_kind::delay,
                                           0, &last_pins, tx + n);
            answer[i] = n + e.answer;
            n += e.bytes;
            reads = reads || accesses[i].kind == access_kind::read;
        }
        ahead_count = 0;
        if (!reads)
            return send(tx, n); // its samples wait in the chip: the next read takes them
        std::memset(tx + n, last_pins, read_ahead);
        if (!send(tx, n + read_ahead))
            return false;
        size_t before = unread - (n + read_ahead);
        const uint8_t *mine = rx + before;
        if (const char *failed = read_samples()) {
            // What reached the lines: the accesses whose bytes were driven,
            // as the samples read back show.
            size_t driven = read_back > before ? read_back - before : 0, reached_now = 0;
            for (; reached_now < count && answer[reached_now] < driven; ++reached_now)
                if (accesses[reached_now].kind == access_kind::read)
                    accesses[reached_now].value = status_of(mine[answer[reached_now]]);
            return lost(failed, reached_now);
        }
        for (size_t i = 0; i < count; ++i)
            if (accesses[i].kind == access_kind::read)
                accesses[i].value = status_of(mine[answer[i]]);
        std::memcpy(ahead, mine + n, read_ahead);
        ahead_count = read_ahead;
        ahead_next = 0;
        return true;
    }

    // A run longer than the chip holds samples for goes in pieces, each with
    // its bytes (a write's, a last read's repeat) and the read-ahead within
    // it. reached: counted from the run's start.
    bool run_at_once(port_access *accesses, size_t count) {
        if (!quiet())
            return false;
        busy_run = 0;
        size_t room = chip_buffer - read_ahead - 1;
        for (size_t begin = 0; begin < count;) {
            size_t end = begin, bytes = 0;
            while (end < count && bytes < room) {
                bytes += accesses[end].kind == access_kind::write ? 1 : 0;
                ++end;
            }
            if (!run_chunk(accesses + begin, end - begin)) {
                reached += begin;
                return false;
            }
            begin = end;
        }
        return true;
    }

    // How much of the oldest batch has run, as the samples back show; its
    // reads and waits that far filled in. At a window that read busy it
    // stops: what follows may be spoiled.
    size_t reached_by(size_t k, bool past_busy) {
        if (queued <= k)
            return 0;
        streamed &s = at(k);
        uint64_t *answer = answers_at(k);
        size_t n = 0;
        while (n < s.next &&
               (s.batch->items[n].kind == access_kind::delay || answer[n] < received)) {
            port_access &a = s.batch->items[n];
            if (a.kind == access_kind::read || a.kind == access_kind::wait_ready)
                a.value = status_of(sample(answer[n]));
            if (!past_busy && a.kind == access_kind::wait_ready && (a.value & status_busy))
                break;
            ++n;
        }
        return n;
    }

    // A write still on its way is let through by lost(), where the adapter
    // is there; the transport cancels it as it closes where it is not.
    bool lost_in_stream(const char *reason) {
        size_t n = reached_by(0, false);
        lost(reason, n);
        writing = false;
        return false;
    }

    bool settle_write(bool wait = true) {
        if (!writing)
            return true;
        int n = transport_handed(usb, wait);
        if (n < 0) {
            frame = before_flight; // taken in part, or not at all
            frame.failed_write(stage[staging ^ 1], flight_size);
            writing = false;
            return lost_in_stream(transport_error(usb));
        }
        writing = n == 0;
        return true;
    }

    bool start_write() {
        if (writing || staged == 0)
            return true;
        if (!transport_hand_over(usb, stage[staging], staged))
            return lost_in_stream(transport_error(usb));
        before_flight = frame;
        flight_size = staged;
        handed_over(stage[staging], staged);
        writing = true;
        handed += staged;
        handed_pins = stage[staging][staged - 1];
        staged = 0;
        staging ^= 1;
        return true;
    }

    // Takes the samples that have come back; lost after a second of nothing.
    bool take_samples() {
        uint8_t chunk[4096];
        size_t want = handed - received < sizeof chunk ? handed - received : sizeof chunk;
        if (want == 0) {
            last_sample = clock_type::now();
            return settle_write();
        }
        int n = transport_read(usb, chunk, want);
        if (n < 0)
            return lost_in_stream(transport_error(usb));
        for (int i = 0; i < n; ++i)
            ring[(received + static_cast<uint64_t>(i)) % ring_size] = chunk[i];
        received += static_cast<uint64_t>(n);
        read_total += static_cast<uint64_t>(n);
        auto now = clock_type::now();
        if (n > 0)
            last_sample = now;
        else if (now - last_sample > std::chrono::milliseconds(answer_ms))
            return lost_in_stream("the adapter stopped answering");
        return settle_write(false);
    }

    // Everything handed over has come back.
    bool drain() {
        if (!start_write())
            return false;
        last_sample = clock_type::now();
        while (received < handed || writing)
            if (!take_samples() || !start_write())
                return false;
        return true;
    }

    // Forgets what was encoded and not yet sent.
    void unstage() {
        staged = 0;
        encoded = handed;
        stream_pins = handed_pins;
    }

    // The same, but for the rest of a batch whose first bytes are on their
    // way: a point is never left half driven.
    void unstage_whole_points() {
        uint64_t keep = handed;
        size_t kept = 0;
        for (size_t k = 0; k < encoding; ++k) {
            const streamed &s = at(k);
            if (s.begin < handed && s.end > handed)
                keep = s.end;
            if (s.end <= keep)
                kept = k + 1;
        }
        staged -= static_cast<size_t>(encoded - keep);
        encoded = keep;
        stream_pins = staged ? stage[staging][staged - 1] : handed_pins;
        for (size_t k = kept; k < queued; ++k) {
            at(k).next = 0;
            at(k).whole = false;
        }
        encoding = kept;
    }

    // Encodes whole batches while they fit, so that the stream only ever
    // comes to rest between batches (the lines idle, the converter
    // released); a delay waits until every byte before it has been driven.
    bool encode_more() {
        while (encoding < queued) {
            streamed &s = at(encoding);
            uint64_t *answer = answers_at(encoding);
            port_batch &b = *s.batch;
            if (s.next == 0) {
                b.cut = port_batch::not_cut;
                size_t need = bytes_at_most(b, window);
                if (encoded - received + need > ahead_limit)
                    return true;
                if (staged + need > stage_size) {
                    if (writing)
                        return true; // the reads will see the write through
                    if (!start_write())
                        return false;
                }
            }
            for (; s.next < b.count; ++s.next) {
                const port_access &a = b.items[s.next];
                if (a.kind == access_kind::delay) {
                    if (!drain())
                        return false;
                    // A stop cuts the delay short, never the point: the rest
                    // of it follows the load already driven.
                    delay_ticks(b.delay_ticks);
                    if (!keep_waiting() && b.cut == port_batch::not_cut)
                        b.cut = s.next;
                    // The chip had nothing to clock while the host waited.
                    last_sample = clock_type::now();
                    answer[s.next] = encoded;
                    continue;
                }
                if (s.next == 0)
                    s.begin = encoded;
                bool has_next = s.next + 1 < b.count;
                ftdi_encoded e =
                    encode_access(a, has_next, has_next ? b.items[s.next + 1].kind : a.kind,
                                  window, &stream_pins, stage[staging] + staged);
                answer[s.next] = encoded + e.answer;
                staged += e.bytes;
                encoded += e.bytes;
            }
            s.end = encoded;
            s.whole = true;
            ++encoding;
        }
        return true;
    }

    // Fills in the oldest batch from its samples; false when a window read
    // busy at its end. A wait's window is every sample after the byte before
    // it: busy in any of them is the converter seen converting.
    bool fill_oldest() {
        port_batch &b = *at(0).batch;
        uint64_t *answer = answers_at(0);
        bool held = true;
        b.busy_seen = false;
        for (size_t i = 0; i < b.count; ++i) {
            port_access &a = b.items[i];
            if (a.kind == access_kind::read || a.kind == access_kind::wait_ready)
                a.value = status_of(sample(answer[i]));
            if (a.kind == access_kind::wait_ready) {
                a.late = false;
                held = held && !(a.value & status_busy);
                for (uint64_t k = i ? answer[i - 1] + 1 : answer[i]; k <= answer[i]; ++k)
                    b.busy_seen = b.busy_seen || (status_of(sample(k)) & status_busy);
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
    bool wait_ready_now(port_access &wait) {
        return poll_ready(wait, [this](uint8_t *status) { return get_status(status); });
    }

    // Runs a batch at once, its waits polled. reached: counted from the
    // batch's start.
    bool run_now(port_batch &b) {
        size_t failed_at = 0;
        reached = 0;
        if (walk_batch(
                b, [this](port_access *items, size_t count) { return run_at_once(items, count); },
                [this](uint8_t *status) { return get_status(status); }, &failed_at))
            return true;
        reached += failed_at;
        return false;
    }

    // Brings the stream to rest: what was sent comes back, what was not is
    // forgotten, and accesses go at once from here.
    bool rest() {
        unstage();
        if (!drain())
            return false;
        last_pins = handed_pins;
        unread = ahead_count = ahead_next = 0;
        state = stream_state::idle;
        return true;
    }

    // From rest: the samples of the accesses at once are all in, the queued
    // batches are encoded afresh, and the windows are sized from the slowest
    // conversion seen, with a margin.
    bool begin() {
        if (!collect())
            return false;
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
        state = stream_state::streaming;
        return true;
    }

    // Tells the link of the accesses that reached the lines in a pass that
    // is thrown away: the oldest batch whole, and of each batch after it as
    // far as its bytes came back.
    void note_discarded() {
        if (!notes.reached)
            return;
        for (size_t k = 0; k < queued; ++k) {
            size_t n = reached_by(k, true);
            if (n)
                notes.reached(notes.link, at(k).batch->items, n);
        }
    }

    bool submit(port_batch *batch) {
        if (state == stream_state::lost)
            return false;
        queue[(first + queued) % batches_ahead] = {batch, 0, 0, 0, false};
        ++queued;
        if (state == stream_state::idle)
            return begin();
        return true;
    }

    bool finish(port_batch *batch) {
        if (state == stream_state::lost)
            return false;
        if (queued == 0 || at(0).batch != batch)
            return true; // already let go, as far as it reached, when the stream came to rest
        if (state == stream_state::idle && !begin())
            return false;
        last_sample = clock_type::now();
        for (;;) {
            streamed &s = at(0);
            if (s.whole && received >= s.end) {
                if (fill_oldest()) {
                    pop_oldest();
                    return true;
                }
                // A window read busy: this point's readings are suspect, and
                // so is everything sent after it. At rest, the converter is
                // waited for, the point run again with exact waits, the
                // windows widened. The pass thrown away reached the lines.
                unstage();
                if (!drain())
                    return false;
                note_discarded();
                if (!rest())
                    return false;
                port_access settle = {access_kind::wait_ready, 0, false};
                if (!wait_ready_now(settle)) {
                    reached = 0;
                    return false;
                }
                if (notes.reached)
                    notes.reached(notes.link, &settle, 1); // the read that ended it
                if (!run_now(*s.batch))
                    return false;
                s.batch->busy_seen = true; // the window that read busy
                window = 2 * window > max_window ? max_window : 2 * window;
                pop_oldest();
                return true;
            }
            if (state == stream_state::streaming && !keep_waiting()) {
                // A stop: what was sent, and the rest of a point begun,
                // comes back; nothing more is sent.
                state = stream_state::stopping;
                unstage_whole_points();
                if (!drain())
                    return false;
                continue;
            }
            if (state == stream_state::stopping) {
                s.batch->done = reached_by(0, false);
                pop_oldest();
                // The last one let go: the stream is at rest, and the next
                // sweep streams afresh.
                return queued > 0 || rest();
            }
            if (!encode_more() || !start_write() || !take_samples())
                return false;
        }
    }

    // Batches not finished are let go as far as they reached.
    bool quiet() {
        if (state == stream_state::lost)
            return false;
        if (state == stream_state::idle)
            return true;
        if (!rest())
            return false;
        while (queued) {
            at(0).batch->done = reached_by(0, false);
            pop_oldest();
        }
        return true;
    }
};

adapter &adapter_of(void *self) { return *static_cast<adapter *>(self); }

bool fault_of(adapter &a, port_fault *fault) {
    std::snprintf(fault->port, sizeof fault->port, "%s", a.shown);
    std::snprintf(fault->why, sizeof fault->why, "%s", a.why);
    fault->reached = a.reached;
    return false;
}

void *refuse(adapter *a, char *reason, size_t size, const char *why) {
    std::snprintf(reason, size, "%s", why);
    a->release();
    delete a;
    return nullptr;
}

void *ftdi_open(const char *device, const port_notes &notes, char *reason, size_t size) {
    ftdi_chip chip = ftdi_chip::other;
    ftdi_transport *usb = transport_open(device, &chip, reason, size);
    if (!usb)
        return nullptr;
    auto *a = new adapter;
    a->usb = usb;
    a->notes = notes;
    std::snprintf(a->shown, sizeof a->shown, "%s%s", *device ? "ftdi:" : "ftdi",
                  shortened(device, 100).c_str());
    switch (chip) {
    case ftdi_chip::ft232r:
        a->chip_buffer = 128;
        break;
    case ftdi_chip::ft232h:
        a->chip_buffer = 1024;
        break;
    case ftdi_chip::ft2232h:
        a->chip_buffer = 4096;
        break;
    case ftdi_chip::other:
        return refuse(a, reason, size,
                      "not an FT232R, FT232H or FT2232H; other FTDI chips are not supported");
    }
    // The outputs come up idle: the level is set while every pin is still an
    // input, then the six outputs are turned on. A step that fails leaves the
    // mode (it may have been set) and closes the chip.
    if (!transport_purge(usb))
        return refuse(a, reason, size, transport_error(usb));
    a->bitbang = true; // from the first try on: a half-done set leaves the mode on
    if (!transport_set_mode(usb, 0x00, ftdi_mode_bitbang) ||
        !transport_write(usb, &a->last_pins, 1) ||
        !transport_set_mode(usb, ftdi_output_pins, ftdi_mode_syncbb) || !transport_purge(usb) ||
        !transport_set_byte_rate(usb) || !transport_set_latency(usb)) {
        char why[300];
        std::snprintf(why, sizeof why, "%s", transport_error(usb));
        return refuse(a, reason, size, why);
    }
    return a;
}

bool ftdi_close(void *self, char *reason, size_t size) {
    adapter &a = adapter_of(self);
    bool ok = true;
    if (a.usb) {
        // Every byte, the idle one last, has been driven before the mode goes.
        const char *failed = a.quiet() ? a.read_samples() : a.why;
        if (failed) {
            std::snprintf(reason, size, "%s", failed);
            ok = false;
        }
        if (!a.release() && ok) {
            std::snprintf(reason, size, "%s", a.why);
            ok = false;
        }
    }
    delete &a;
    return ok;
}

bool ftdi_set_data(void *self, uint8_t value, port_fault *fault) {
    adapter &a = adapter_of(self);
    return a.set_data(value) || fault_of(a, fault);
}

bool ftdi_get_status(void *self, uint8_t *value, port_fault *fault) {
    adapter &a = adapter_of(self);
    return a.get_status(value) || fault_of(a, fault);
}

bool ftdi_run_batch(void *self, port_access *accesses, size_t count, port_fault *fault) {
    adapter &a = adapter_of(self);
    a.reached = 0;
    return a.run_at_once(accesses, count) || fault_of(a, fault);
}

bool ftdi_submit(void *self, port_batch *batch, port_fault *fault) {
    adapter &a = adapter_of(self);
    a.reached = 0;
    return a.submit(batch) || fault_of(a, fault);
}

bool ftdi_finish(void *self, port_batch *batch, port_fault *fault) {
    adapter &a = adapter_of(self);
    a.reached = 0;
    return a.finish(batch) || fault_of(a, fault);
}

// The outputs as the chip samples its pins.
bool ftdi_read_data(void *self, int *value, port_fault *fault) {
    adapter &a = adapter_of(self);
    *value = -1;
    a.reached = 0;
    if (!a.quiet() || (a.ahead_next >= a.ahead_count && !a.refill()))
        return fault_of(a, fault);
    *value = data_of_pins(a.ahead[a.ahead_next]);
    return true;
}

} // namespace

extern const port_backend ftdi_port = {
    .name = "ftdi",
    .wiring = port_wiring::adapter_pins,
    .open = ftdi_open,
    .close = ftdi_close,
    .set_data = ftdi_set_data,
    .get_status = ftdi_get_status,
    .run_batch = ftdi_run_batch,
    .submit = ftdi_submit,
    .finish = ftdi_finish,
    .detail = ftdi_device_forms,
    .read_data = ftdi_read_data,
};
