#include "measure/point.hpp"

#include "measure/calibration.hpp"

#include "common/clock.hpp"
#include "common/stop.hpp"
#include "link/link.hpp"
#include "measure/words.hpp"

namespace {

const float low_band_factor = 5000.0f; // milliseconds times hertz: five periods
const double full_scale_volts = 2.46955;
const float full_scale_counts = 16383.0f;
const double level_offset_volts = 2.1; // 0 dBm
const double level_slope = 40.0;       // dB per volt: 25 mV per dB

// The points in flight, where the port streams; one at a time elsewhere.
port_batch point_batches[batches_ahead];
int32_t point_words[batches_ahead];
size_t point_seconds[batches_ahead]; // where each one's second exchange is

} // namespace

double level_of_volts(double volts) {
    const calibration *c = calibration_in_force();
    if (c && c->detector)
        return calibrated_level(volts);
    return (volts - level_offset_volts) * level_slope;
}

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

void tune_to(int32_t word) {
    load_synthesizer(word, control_byte);
    if (word < low_band_word)
        delay_ticks(low_band_delay(word));
}

size_t build_point(port_batch &batch, int32_t word) {
    batch.clear();
    add_load(batch, word, control_byte);
    if (word < low_band_word)
        batch.delay(low_band_delay(word));
    add_exchange(batch, measure_command);
    return add_exchange(batch, measure_command);
}

bool point_of(const port_batch &batch, size_t second, int32_t word, point_reading *reading) {
    // The second exchange's wait is for the next conversion: a stop there
    // leaves this point whole.
    size_t last_wait = second + exchange_accesses - 1;
    if (batch.done < last_wait || (batch.cut != port_batch::not_cut && batch.cut < last_wait))
        return false;
    reading->word = word;
    reading->reply = reply_of(batch, second);
    reading->value = decode_reply(reading->reply);
    reading->first_late = exchange_late(batch, second - exchange_accesses);
    reading->second_late = exchange_late(batch, second);
    return true;
}

size_t measure_points(bool (*next)(void *, int32_t *),
                      bool (*each)(void *, const point_reading &), void *context) {
    size_t ahead = port_streams() ? batches_ahead : 1;
    size_t handed = 0, returned = 0, taken = 0;
    bool more = true, going = true;
    for (;;) {
        while (going && more && handed - returned < ahead && keep_waiting() && !link_failure()) {
            int32_t word = 0;
            if (!next(context, &word)) {
                more = false;
                break;
            }
            size_t slot = handed++ % batches_ahead;
            point_words[slot] = word;
            point_seconds[slot] = build_point(point_batches[slot], word);
            submit_batch(point_batches[slot]);
        }
        port_batch *batch = completed_batch();
        if (!batch)
            break;
        size_t slot = returned++ % batches_ahead;
        point_reading reading;
        // Cut short (a stop, a lost port): the rest only comes back.
        if (!going || link_failure() ||
            !point_of(*batch, point_seconds[slot], point_words[slot], &reading)) {
            going = false;
            continue;
        }
        ++taken;
        going = each(context, reading);
    }
    return taken;
}
