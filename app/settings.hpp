// Sweep settings and the program's entry. The settings are written here only.
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

// atoi's reading of text, saturated to the signed 32-bit range.
int32_t read_int(const char *text);

// The whole run; returns the exit status of a completed sweep.
int talvik_main(int argc, char **argv);
