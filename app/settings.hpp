// Sweep settings, written only by the run, and the conversions of words and hertz.
#pragma once
#include <cstdint>

extern const float ref_clock_hz; // synthesizer reference clock, Hz
extern const float tw_per_hz;    // tuning-word units per hertz
extern int32_t start_word;       // first sweep point
extern int32_t end_word;         // points stop below it
extern int32_t step_divisor;     // each step adds 1/step_divisor of the word
extern const int32_t control_byte;
extern const char *results_name; // results file as named on the command line

// Tuning word of hz, truncated toward zero, in a wide integer so that the
// settings checks see the full product.
int64_t tuning_word(double hz);

// A tuning word shown in hertz.
double word_hz(int64_t word);
