#include "common/clock.hpp"
#include "link/link.hpp"
#include "link/port.hpp"

#include <cstdio>
#include <cstdlib>

uint32_t converter_exchange(uint32_t command) {
    write_data(select_mask & data_one_mask);
    uint32_t reply = 0;
    for (int p = 15; p >= 0; --p) {
        uint32_t base = select_mask & clock_mask & data_one_mask;
        write_data(base);
        base |= (command >> p) & 1 ? ~data_one_mask : ~data_zero_mask;
        write_data(base);
        base |= ~clock_mask;
        write_data(base);
        if (read_status() & status_data)
            reply |= 1u << p;
    }
    write_data(release_mask & data_one_mask);

    // Bounded ready wait; giving up is silent, the reply stands as read.
    int32_t t0 = tick_clock();
    while (read_status() & status_busy) {
        if (tick_clock() - t0 > ready_timeout_ticks)
            break;
    }
    return reply;
}

void converter_start() {
    for (uint32_t word : start_up_words) {
        converter_exchange(word);
        int32_t t0 = tick_clock();
        while (read_status() & status_busy) {
            if (tick_clock() - t0 > start_up_timeout_ticks) {
                std::fputs("Converter not ready - check the instrument\n", stderr);
                std::exit(4);
            }
        }
    }
}
