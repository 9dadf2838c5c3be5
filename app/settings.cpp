#include "app/settings.hpp"

// Start-up values, in this order, before the command line is looked at.
const float ref_clock_hz = 100000000.0f;
const float tw_per_hz = 4294967296.0f / ref_clock_hz;
int32_t start_word = static_cast<int32_t>(tuning_word(1000000.0));
int32_t end_word = static_cast<int32_t>(tuning_word(10000000.0));
int32_t step_divisor = 20;
const int32_t control_byte = 0;
const char *results_name = nullptr;

int64_t tuning_word(double hz) {
    // Truncation toward zero; the product of a 32-bit number of hertz and
    // tw_per_hz always fits 64 bits.
    return static_cast<int64_t>(hz * static_cast<double>(tw_per_hz));
}

double word_hz(int64_t word) { return static_cast<double>(word) / static_cast<double>(tw_per_hz); }
