// Sweep settings, written only by the run.
#pragma once
#include "measure/words.hpp"

#include <cstdint>

extern int32_t start_word;       // first sweep point
extern int32_t end_word;         // points stop below it
extern int32_t step_divisor;     // each step adds 1/step_divisor of the word
extern const char *results_name; // results file as named on the command line
