#include "common/clock.hpp"
#include "common/exit_status.hpp"
#include "common/stop.hpp"
#include "link/link.hpp"
#include "link/port.hpp"


bool exchange_timed_out = false;

size_t add_exchange(port_batch &batch, uint32_t command) {
    size_t first = batch.count;
    port_access *at = batch.reserve(exchange_accesses);
    if (!at)
        return 0; // refused whole when run
    port_batch::put(at, access_kind::write, select_mask & data_one_mask);
    for (int p = 15; p >= 0; --p) {
        uint32_t base = select_mask & clock_mask & data_one_mask;
        port_batch::put(at, access_kind::write, base);
        base |= (command >> p) & 1 ? ~data_one_mask : ~data_zero_mask;
        port_batch::put(at, access_kind::write, base);
        base |= ~clock_mask;
        port_batch::put(at, access_kind::write, base);
        port_batch::put(at, access_kind::read); // the bit presented after the rising edge
    }
    port_batch::put(at, access_kind::write, release_mask & data_one_mask);
    // Bounded ready wait; giving up is silent, the reply stands as read.
    port_batch::put(at, access_kind::wait_ready);
    batch.commit(at);
    return first;
}

uint32_t reply_of(const port_batch &batch, size_t exchange) {
    uint32_t reply = 0;
    for (int p = 15; p >= 0; --p)
        if (batch.value(exchange + 4 + 4 * static_cast<size_t>(15 - p)) & status_data)
            reply |= 1u << p;
    return reply;
}

bool exchange_late(const port_batch &batch, size_t exchange) {
    return batch.items[exchange + exchange_accesses - 1].late;
}

uint32_t converter_exchange(uint32_t command) {
    port_batch batch;
    size_t at = add_exchange(batch, command);
    run_batch(batch);
    exchange_timed_out = exchange_late(batch, at);
    return reply_of(batch, at);
}

void converter_start() {
    for (uint32_t word : start_up_words) {
        converter_exchange(word);
        if (!keep_waiting() || link_failure())
            return;
        int32_t t0 = tick_clock();
        while (read_status() & status_busy) {
            if (!keep_waiting() || link_failure())
                return;
            if (tick_clock() - t0 > start_up_timeout_ticks) {
                link_fail(status_port, "Converter not ready - check the instrument");
                return;
            }
        }
    }
}
