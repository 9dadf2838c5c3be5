#include "link/link.hpp"
#include "link/port.hpp"

namespace {

// D4..D7 stay high (converter released, its clock and data high), D3 low.
constexpr uint32_t idle =
    0xFF & ~(synth_load_n_line | synth_update_line | synth_clock_line | synth_data_line); // 0xF0
constexpr uint32_t word_clock = synth_clock_line;
constexpr uint32_t update = synth_update_line;

constexpr size_t load_accesses = 3 * 40 + 2;

void send_bits(port_access *&at, int32_t value, int count) {
    for (int i = 0; i < count; ++i) {
        uint32_t bit = static_cast<uint32_t>(value) & synth_data_line;
        port_batch::put(at, access_kind::write, idle | bit);
        port_batch::put(at, access_kind::write, idle | word_clock | bit); // rising edge: taken
        port_batch::put(at, access_kind::write, idle | bit);
        value >>= 1;
    }
}

} // namespace

void add_load(port_batch &batch, int32_t word, uint32_t control) {
    port_access *at = batch.reserve(load_accesses);
    if (!at)
        return; // refused whole when run
    send_bits(at, word, 32);
    send_bits(at, static_cast<int32_t>(control), 8);
    port_batch::put(at, access_kind::write, idle | update);
    port_batch::put(at, access_kind::write, idle);
    batch.commit(at);
}

void load_synthesizer(int32_t word, uint32_t control) {
    port_batch batch;
    add_load(batch, word, control);
    run_batch(batch);
}
