// The adapter's codec, apart from any timing: a batch's accesses to the
// bytes that drive the pins, and the samples back to status values. The
// chip samples its pins just before it drives each byte, so the state after
// byte k comes back with byte k+1: a read is answered by the sample of the
// byte after it, and where no byte follows, a repeat of the last one (which
// changes no line) is sent for it.
#pragma once
#include "link/port.hpp"

#include <cstddef>
#include <cstdint>

// Pin map: D0-D2 on AD0-AD2, D4-D6 on AD3-AD5 (D3 and D7 are not wired);
// AD6 and AD7 are inputs.
inline constexpr uint8_t ftdi_output_pins = 0x3F;
inline constexpr uint8_t ftdi_data_out_pin = 0x40; // AD6: converter serial data out
inline constexpr uint8_t ftdi_busy_pin = 0x80;     // AD7: the converter's busy pin, low while busy

inline uint8_t pins_of(uint8_t data) {
    return static_cast<uint8_t>((data & 0x07) | ((data >> 1) & 0x38));
}

// The data register as the pins show it, D3 and D7 (not wired) high.
inline int data_of_pins(uint8_t pins) { return 0x88 | (pins & 0x07) | ((pins & 0x38) << 1); }

// What a parallel port's status register would read: bit 7 inverts the pin.
inline uint8_t status_of(uint8_t pins) {
    return static_cast<uint8_t>(((pins & ftdi_data_out_pin) ? status_data : 0) |
                                ((pins & ftdi_busy_pin) ? 0 : status_busy));
}

// One access as bytes: how many it adds to the stream, and the byte, counted
// from its first, whose sample answers it (bytes itself: the next byte's).
struct ftdi_encoded {
    size_t bytes;
    size_t answer;
};

// Encodes access a into out (room for window bytes at least), given the
// kind of the access after it (has_next false at the batch's end) and the
// pins last driven, which it updates. A wait is a window of repeats of the
// last byte, answered by its last sample; a delay adds no byte.
inline ftdi_encoded encode_access(const port_access &a, bool has_next, access_kind next,
                                  size_t window, uint8_t *pins, uint8_t *out) {
    switch (a.kind) {
    case access_kind::write:
        *pins = pins_of(a.value);
        out[0] = *pins;
        return {1, 0};
    case access_kind::read:
        // A following write or wait drives the byte whose sample answers it.
        if (has_next && (next == access_kind::write || next == access_kind::wait_ready))
            return {0, 0};
        out[0] = *pins;
        return {1, 0};
    case access_kind::wait_ready:
        for (size_t k = 0; k < window; ++k)
            out[k] = *pins;
        return {window, window - 1};
    case access_kind::delay:
        return {0, 0};
    }
    return {0, 0};
}

// The most bytes a batch can take: a byte an access, a repeat after a read,
// and each wait's window.
inline size_t bytes_at_most(const port_batch &b, size_t window) {
    size_t bytes = 0;
    for (size_t i = 0; i < b.count; ++i) {
        switch (b.items[i].kind) {
        case access_kind::write:
        case access_kind::read:
            bytes += 2;
            break;
        case access_kind::wait_ready:
            bytes += window;
            break;
        case access_kind::delay:
            break;
        }
    }
    return bytes;
}
