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

bool measure_point(std::FILE *results, int32_t word) {
    tune_to(word);
    if (stop_signal)
        return false;
    // The converter is pipelined: the second reply is this point's level.
    uint32_t reply = converter_exchange(measure_command);
    bool timed_out = exchange_timed_out;
    // A stop in that wait: the next reply would not be this point's.
    if (stop_signal)
        return false;
    reply = converter_exchange(measure_command);
    timed_out = timed_out && exchange_timed_out;
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

void run_sweep(std::FILE *results) {
    tally = sweep_tally();
    converter_start();
    current_word = start_word;
    while (!stop_signal && current_word < end_word) {
        if (!measure_point(results, current_word))
            break;
        int64_t next = next_word(current_word, step_divisor);
        if (next >= end_word)
            break;
        current_word = static_cast<int32_t>(next);
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
