// The console screen: cleared at start, the settings block, the live line.
#pragma once
#include <cstdint>

void clear_screen();
void show_settings(int32_t start, int32_t end, int32_t divisor);
void show_point(double frequency_hz, double level_dbm);
