#include "app/screen.hpp"

#include "app/settings.hpp"
#include "common/console.hpp"

#include <cstdio>

void show_settings(int32_t start, int32_t end, int32_t divisor) {
    set_cursor(1, 3);
    std::printf("TALVIK");
    set_cursor(9, 3);
    std::printf("\tStart Frequency\t\t  = %10.1f Hz  ", word_hz(start));
    set_cursor(9, 5);
    std::printf("\tEnd Frequency\t\t  = %10.1f Hz  ", word_hz(end));
    set_cursor(9, 7);
    std::printf("\tFrequency Change per Step = %f percent  ",
                static_cast<double>(100.0f) / divisor);
}

void show_point(double frequency_hz, double level_dbm) {
    set_cursor(9, 10);
    std::printf("\tfrequency = %8.1f\t dBm =  %1.3f    \n\n", frequency_hz, level_dbm);
}
