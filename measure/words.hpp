// The synthesizer's tuning words and the hertz they stand for.
#pragma once
#include <cstdint>

// The synthesizer's reference clock as built, and what is formed from the
// clock in force: constant-initialised, so that settings of other files may
// be formed from them at start-up; a calibrated clock replaces them before
// anything else reads them.
inline constexpr float nominal_clock_hz = 100000000.0f;
extern float tw_per_hz;        // tuning-word units per hertz: 2^32 / clock
extern int32_t low_band_word;  // the word of 62500.01 Hz, rounded up: below it, the low band
inline constexpr int32_t control_byte = 0;

// Puts a reference clock in force (nominal_clock_hz gives the built values
// exactly).
void set_reference_clock(double hz);

// Tuning word of hz, truncated toward zero, in a wide integer so that the
// settings checks see the full product.
int64_t tuning_word(double hz);

// A tuning word shown in hertz.
double word_hz(int64_t word);
