// The point pipeline that every sweep shares: a point's accesses, its
// reading decoded to volts and dBm, and the points of a sweep carried
// through the open link, streamed where the port streams.
#pragma once
#include "link/port.hpp"
#include "measure/words.hpp"

#include <cstddef>
#include <cstdint>

// A reply word decoded.
struct reading_of_reply {
    int32_t reading; // signed count, -16384..16383
    float volts;
    double level_dbm;
    bool overflow; // bits 14 and 15 of the reply differ
};
reading_of_reply decode_reply(uint32_t reply);

// The detector's level in dBm for volts: 2.1 V at 0 dBm, 25 mV per dB.
double level_of_volts(double volts);

// Low-band delay in ticks for a word: five periods of its output frequency.
int32_t low_band_delay(int32_t word);

// Loads the word into the synthesizer and waits five periods in the low band.
void tune_to(int32_t word);

// A point's accesses, whole: the load, the low-band delay, two exchanges.
// Returns where the second exchange is.
size_t build_point(port_batch &batch, int32_t word);

// A point that ran whole. The converter is pipelined: the second reply is
// this point's level.
struct point_reading {
    int32_t word;
    uint32_t reply;
    reading_of_reply value;
    bool first_late, second_late; // the exchanges' ready waits gave up
};

// Whether the batch ran far enough to be a point (a stop in the second
// exchange's wait leaves a complete point: that wait is for the next one);
// its reading when it did.
bool point_of(const port_batch &batch, size_t second, int32_t word, point_reading *reading);

// Measures points in order through the open link: next(context, &word)
// gives each word (false: no more), each(context, reading) takes each point
// whole (false: no more wanted). Whole points go ahead where the port
// streams, one at a time elsewhere; a stop, a failed link or a point cut
// short ends it, and what was handed over comes back first. No allocation.
// Returns how many points each() was given.
size_t measure_points(bool (*next)(void *context, int32_t *word),
                      bool (*each)(void *context, const point_reading &reading), void *context);

// The same with callables.
template <class Next, class Each> size_t measure_points(Next &&next, Each &&each) {
    struct both {
        Next &next;
        Each &each;
    } pair{next, each};
    return measure_points(
        [](void *c, int32_t *word) -> bool { return static_cast<both *>(c)->next(word); },
        [](void *c, const point_reading &r) -> bool { return static_cast<both *>(c)->each(r); },
        &pair);
}
