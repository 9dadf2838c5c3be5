// The sweep: converter start-up, then one reading per point.
#pragma once
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

// One point: load the word, wait in the low band, read, show and record it.
void measure_point(std::FILE *results, int32_t word);

void run_sweep(std::FILE *results);
