// The sweep: converter start-up, then one reading per point.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdio>

extern int32_t current_word;

inline constexpr int32_t low_band_word = 2684355; // 62500.01 Hz

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

// The next word, formed wide: beyond the 32-bit range it is above any end.
int64_t next_word(int32_t word, int32_t divisor);

// Loads the word into the synthesizer and waits five periods in the low band.
void tune_to(int32_t word);

struct port_batch;
// A point's accesses, whole: the load, the low-band delay, two exchanges.
// Returns where the second exchange is.
size_t build_point(port_batch &batch, int32_t word);

// One point: load the word, wait in the low band, read, show and record it.
// False when a stop came before the point was complete: nothing recorded.
bool measure_point(std::FILE *results, int32_t word);

// What the sweep's readings had in common, to tell a dead instrument.
struct sweep_tally {
    long points = 0;
    uint32_t first_reply = 0;
    bool same = true;      // every reply was first_reply
    bool timed_out = true; // every ready wait of every point gave up
};
extern sweep_tally tally;

// Ends early, with every complete point recorded, when a stop is asked for.
// A sweep of 3 points or more whose readings were all the same, or whose
// waits all timed out, is said to be so on standard error.
void run_sweep(std::FILE *results);
