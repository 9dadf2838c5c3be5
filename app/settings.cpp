#include "app/settings.hpp"

// Start-up values, before the command line is looked at.
int32_t start_word = static_cast<int32_t>(tuning_word(1000000.0));
int32_t end_word = static_cast<int32_t>(tuning_word(10000000.0));
int32_t step_divisor = 20;
const char *results_name = nullptr;
