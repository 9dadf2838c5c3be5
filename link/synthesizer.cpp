#include "link/link.hpp"
#include "link/port.hpp"

namespace {

// D4..D7 stay high (converter released, its clock and data high), D3 low.
constexpr uint32_t idle = 0xF0;
constexpr uint32_t word_clock = 0x02;
constexpr uint32_t update = 0x04;

void send_bits(int32_t value, int count) {
    for (int i = 0; i < count; ++i) {
        uint32_t bit = static_cast<uint32_t>(value) & 1;
        write_data(idle | bit);
        write_data(idle | word_clock | bit); // rising edge: the bit is taken
        write_data(idle | bit);
        value >>= 1;
    }
}

} // namespace

void load_synthesizer(int32_t word, uint32_t control) {
    send_bits(word, 32);
    send_bits(static_cast<int32_t>(control), 8);
    write_data(idle | update);
    write_data(idle);
}
