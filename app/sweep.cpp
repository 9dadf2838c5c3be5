#include "app/sweep.hpp"

#include "app/results.hpp"
#include "app/screen.hpp"
#include "app/settings.hpp"
#include "common/clock.hpp"
#include "common/stop.hpp"
#include "link/link.hpp"
#include "link/port.hpp"

#include <cinttypes>

int32_t current_word = 0;

namespace {

const float low_band_factor = 5000.0f; // milliseconds times hertz: five periods
const double full_scale_volts = 2.46955;
const float full_scale_counts = 16383.0f;
const double level_offset_volts = 2.1; // 0 dBm
const double level_slope = 40.0;       // dB per volt: 25 mV per dB

} // namespace

double level_of_volts(double volts) { return (volts - level_offset_volts) * level_slope; }

reading_of_reply decode_reply(uint32_t reply) {
    uint32_t sign_bit = reply & 0x8000;
    uint32_t overflow_bit = reply & 0x4000;
    reading_of_reply r;
    r.reading = sign_bit == 0 ? static_cast<int32_t>(reply & 0x3FFF)
                              : static_cast<int32_t>(reply | 0xFFFFC000u);
    r.volts = static_cast<float>(r.reading * full_scale_volts / full_scale_counts);
    r.level_dbm = level_of_volts(static_cast<double>(r.volts));
    r.overflow = (overflow_bit << 1) != sign_bit;
    return r;
}

int32_t low_band_delay(int32_t word) {
    return static_cast<int32_t>(static_cast<double>(low_band_factor) *
                                static_cast<double>(tw_per_hz) / word);
}

int64_t next_word(int32_t word, int32_t divisor) {
    return static_cast<int64_t>(word) + word / divisor;
}

void tune_to(int32_t word) {
    load_synthesizer(word, control_byte);
    if (word < low_band_word)
        delay_ticks(low_band_delay(word));
}

sweep_tally tally;

size_t build_point(port_batch &batch, int32_t word) {
    batch.count = 0;
    add_load(batch, word, control_byte);
    if (word < low_band_word)
        batch.delay(low_band_delay(word));
    add_exchange(batch, measure_command);
    return add_exchange(batch, measure_command);
}

namespace {

// Shows and records a point that has run. False when a stop came before it
// was complete (the first exchange's wait cut short): nothing recorded. A
// stop in the second exchange's wait leaves a complete point: that wait is
// for the next one.
bool record_point(std::FILE *results, int32_t word, const port_batch &batch, size_t second) {
    if (batch.done < second + exchange_accesses - 1)
        return false;
    // The converter is pipelined: the second reply is this point's level.
    uint32_t reply = reply_of(batch, second);
    bool timed_out = exchange_late(batch, second - exchange_accesses) && exchange_late(batch, second);
    reading_of_reply point = decode_reply(reply);
    double frequency = word_hz(word);
    show_point(frequency, point.level_dbm);
    write_record(results, frequency, point.level_dbm, point.overflow);
    if (tally.points == 0)
        tally.first_reply = reply;
    tally.same = tally.same && (tally.points == 0 || reply == tally.first_reply);
    tally.timed_out = tally.timed_out && timed_out;
    ++tally.points;
    return true;
}

// The points in flight, where the port streams; one at a time elsewhere.
port_batch point_batches[batches_ahead];
int32_t point_words[batches_ahead];
size_t point_seconds[batches_ahead]; // where each one's second exchange is

} // namespace

bool measure_point(std::FILE *results, int32_t word) {
    port_batch batch;
    size_t second = build_point(batch, word);
    run_batch(batch);
    return record_point(results, word, batch, second);
}

void run_sweep(std::FILE *results) {
    tally = sweep_tally();
    converter_start();
    current_word = start_word;
    int32_t word = start_word; // the next to hand over
    size_t ahead = port_streams() ? batches_ahead : 1;
    size_t handed = 0, taken = 0;
    bool more = !stop_signal && word < end_word;
    for (;;) {
        while (more && handed - taken < ahead && !stop_signal) {
            size_t slot = handed++ % batches_ahead;
            point_words[slot] = word;
            point_seconds[slot] = build_point(point_batches[slot], word);
            submit_batch(point_batches[slot]);
            int64_t next = next_word(word, step_divisor);
            if (next >= end_word)
                more = false;
            else
                word = static_cast<int32_t>(next);
        }
        port_batch *batch = completed_batch();
        if (!batch)
            break;
        size_t slot = taken++ % batches_ahead;
        current_word = point_words[slot];
        if (!record_point(results, current_word, *batch, point_seconds[slot])) {
            while (completed_batch()) {
            }
            break;
        }
    }
    if (stop_signal || tally.points < 3 || port_replies_fixed)
        return;
    // Every record stands, but readings that cannot be real are not passed
    // off as a good sweep.
    if (tally.timed_out)
        std::fputs("every ready wait timed out: is the instrument on and connected?\n", stderr);
    else if (tally.same)
        std::fprintf(stderr,
                     "every reading was the same (reply 0x%04" PRIX32
                     "): is the instrument on and connected?\n",
                     tally.first_reply);
}
