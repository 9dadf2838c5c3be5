#include "measure/words.hpp"

int64_t tuning_word(double hz) {
    // Truncation toward zero; the product of a 32-bit number of hertz and
    // tw_per_hz always fits 64 bits.
    return static_cast<int64_t>(hz * static_cast<double>(tw_per_hz));
}

double word_hz(int64_t word) { return static_cast<double>(word) / static_cast<double>(tw_per_hz); }
