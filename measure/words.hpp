// The synthesizer's tuning words and the hertz they stand for.
#pragma once
#include <cstdint>

// Constants, so that settings of other files may be formed from them at start-up.
inline constexpr float ref_clock_hz = 100000000.0f;             // synthesizer reference clock, Hz
inline constexpr float tw_per_hz = 4294967296.0f / ref_clock_hz; // tuning-word units per hertz
inline constexpr int32_t control_byte = 0;

// Tuning word of hz, truncated toward zero, in a wide integer so that the
// settings checks see the full product.
int64_t tuning_word(double hz);

// A tuning word shown in hertz.
double word_hz(int64_t word);
