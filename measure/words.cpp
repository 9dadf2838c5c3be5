#include "measure/words.hpp"

#include <cmath>

float tw_per_hz = 4294967296.0f / nominal_clock_hz;
int32_t low_band_word = 2684355; // 62500.01 Hz

void set_reference_clock(double hz) {
    if (hz == static_cast<double>(nominal_clock_hz)) {
        tw_per_hz = 4294967296.0f / nominal_clock_hz;
        low_band_word = 2684355;
        return;
    }
    tw_per_hz = static_cast<float>(4294967296.0 / hz);
    low_band_word = static_cast<int32_t>(std::ceil(62500.01 * static_cast<double>(tw_per_hz)));
}

int64_t tuning_word(double hz) {
    // Truncation toward zero; the product of a 32-bit number of hertz and
    // tw_per_hz always fits 64 bits.
    return static_cast<int64_t>(hz * static_cast<double>(tw_per_hz));
}

double word_hz(int64_t word) { return static_cast<double>(word) / static_cast<double>(tw_per_hz); }
