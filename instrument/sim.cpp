#include "instrument/sim.hpp"

#include "common/number.hpp"
#include "common/port_lines.hpp"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr uint16_t measure = 0x8710;
constexpr uint16_t start_up[3] = {0x871C, 0x8718, 0x8714};

enum fault_kind {
    bad_update,
    bad_command_length,
    clock_unselected,
    unknown_command,
    start_up_order,
};

bool rose(uint8_t before, uint8_t now, uint8_t line) { return !(before & line) && (now & line); }

} // namespace

void sim_instrument::reset() { *this = sim_instrument(); }

bool sim_instrument::configure(const char *options, char *reason, size_t reason_size) {
    char copy[256];
    if (std::strlen(options) >= sizeof copy) {
        std::snprintf(reason, reason_size, "options too long");
        return false;
    }
    std::strcpy(copy, options);
    for (char *save = nullptr, *option = strtok_r(copy, ",", &save); option;
         option = strtok_r(nullptr, ",", &save)) {
        char *value = std::strchr(option, '=');
        if (value)
            *value++ = '\0';
        long long number = 0;
        if (std::strcmp(option, "dut") == 0 && value) {
            if (std::strcmp(value, "through") == 0)
                dut_ = dut_model::through;
            else if (std::strcmp(value, "lowpass") == 0)
                dut_ = dut_model::lowpass;
            else if (std::strcmp(value, "bandpass") == 0)
                dut_ = dut_model::bandpass;
            else if (std::strcmp(value, "notch") == 0)
                dut_ = dut_model::notch;
            else {
                std::snprintf(reason, reason_size,
                              "bad value in option dut=%s (through, lowpass, bandpass or notch)",
                              value);
                return false;
            }
        } else if (std::strcmp(option, "reply") == 0 && value) {
            if (!parse_number(value, 0, 0xFFFF, &number)) {
                std::snprintf(reason, reason_size,
                              "bad value in option reply=%s (0 to 65535, or 0x0 to 0xFFFF)", value);
                return false;
            }
            fixed_reply_ = true;
            reply_value_ = static_cast<uint16_t>(number);
        } else if (std::strcmp(option, "busy") == 0 && value) {
            if (std::strcmp(value, "forever") == 0) {
                busy_forever_ = true;
            } else if (parse_number(value, 0, 60000000, &number)) {
                busy_forever_ = false;
                busy_us_ = number;
            } else {
                std::snprintf(reason, reason_size,
                              "bad value in option busy=%s (microseconds, or forever)", value);
                return false;
            }
        } else if (std::strcmp(option, "fault") == 0 && value) {
            static const char *const names[] = {"none",      "busy-stuck", "busy-open", "data-low",
                                                "data-high", "synth-dead", "noisy"};
            int found = -1;
            for (int i = 0; i < 7; ++i)
                if (std::strcmp(value, names[i]) == 0)
                    found = i;
            if (found < 0) {
                std::snprintf(reason, reason_size,
                              "bad value in option fault=%s (busy-stuck, busy-open, data-low, "
                              "data-high, synth-dead or noisy)",
                              value);
                return false;
            }
            fault_ = static_cast<sim_fault>(found);
        } else {
            std::snprintf(reason, reason_size,
                          "unknown option %s%s%s (dut=, reply=, busy=, fault=)",
                          option, value ? "=" : "", value ? value : "");
            return false;
        }
    }
    return true;
}

void sim_instrument::fault(int kind, const char *what, int detail) {
    ++faults_;
    if (fault_kinds_ & (1u << kind))
        return;
    fault_kinds_ |= 1u << kind;
    std::fprintf(stderr, "simulated instrument: ");
    std::fprintf(stderr, what, detail);
    std::fputc('\n', stderr);
}

void sim_instrument::write(uint8_t data) {
    uint8_t before = lines_;
    lines_ = data;
    synthesizer_write(before, data);
    converter_write(before, data);
}

// The synthesizer's serial port listens only while D3 is low. Loads keep D3
// low; converter exchanges keep it high, so their first write (0xAF, which
// raises D0-D3 together from 0xF0) neither clocks a bit nor applies a word.
void sim_instrument::synthesizer_write(uint8_t before, uint8_t now) {
    if ((now & synth_load_n_line) || fault_ == sim_fault::synth_dead)
        return;
    if (rose(before, now, synth_clock_line)) {
        shift_ = (shift_ >> 1) | (static_cast<uint64_t>(now & synth_data_line) << 39);
        ++shifted_;
    }
    if (rose(before, now, synth_update_line)) {
        if (shifted_ != 40)
            fault(bad_update, "update pulse after %d bits, not 40", shifted_);
        if (shifted_ >= 40) {
            word_ = static_cast<uint32_t>(shift_);
            control_ = static_cast<uint8_t>(shift_ >> 32);
            ++updates_;
        }
        shifted_ = 0;
    }
}

void sim_instrument::converter_write(uint8_t before, uint8_t now) {
    bool was_selected = !(before & conv_select_n_line);
    bool selected = !(now & conv_select_n_line);
    if (!was_selected && selected) {
        finish_conversion();
        bits_ = 0;
        incoming_ = 0;
        outgoing_ = result_;
    }
    if (rose(before, now, conv_clock_line)) {
        if (!(was_selected && selected)) {
            fault(clock_unselected, "converter clock edge while not selected (data 0x%02X)", now);
        } else {
            // Take D4, then present the next reply bit, most significant first.
            incoming_ = static_cast<uint16_t>((incoming_ << 1) | ((now & conv_data_line) ? 1 : 0));
            int bit = 15 - bits_;
            data_out_ = bit >= 0 && ((outgoing_ >> bit) & 1) ? status_data : 0;
            ++bits_;
        }
    }
    if (was_selected && !selected) {
        if (bits_ != 16)
            fault(bad_command_length, "command of %d bits, not 16", bits_);
        else
            command(incoming_);
    }
}

void sim_instrument::command(uint16_t word) {
    command_ = word;
    ++commands_;
    if (word == measure) {
        // Before the start-up words the converter is not set up: it answers 0.
        double level = sim_level_dbm(dut_, frequency_hz());
        if (fault_ == sim_fault::noisy) {
            noise_ = noise_ * 1103515245u + 12345u;
            level += ((noise_ >> 16) % 601) / 100.0 - 3.0; // -3 to +3 dB
        }
        pending_ = start_up_ < 3  ? 0
                   : fixed_reply_ ? reply_value_
                                  : sim_reply_word(level);
    } else if (word == start_up[0] || word == start_up[1] || word == start_up[2]) {
        int step = word == start_up[0] ? 0 : word == start_up[1] ? 1 : 2;
        if (step == start_up_ || step == 0)
            start_up_ = step + 1; // the first word always begins the set-up anew
        else
            fault(start_up_order, "start-up word 0x%04X out of order", word);
        pending_ = 0;
    } else {
        fault(unknown_command, "unknown command 0x%04X", word);
        return;
    }
    // A conversion starts as the converter is released; its result is the
    // reply of the next exchange.
    converting_ = true;
    ready_at_ = clock::now() + std::chrono::microseconds(busy_us_);
    if (!busy_forever_ && busy_us_ == 0)
        finish_conversion();
}

void sim_instrument::finish_conversion() {
    if (converting_ && !busy_forever_ && (busy_us_ == 0 || clock::now() >= ready_at_)) {
        converting_ = false;
        result_ = pending_;
    }
}

uint8_t sim_instrument::read() {
    if (converting_)
        finish_conversion();
    bool busy = converting_, data = data_out_ != 0;
    if (fault_ == sim_fault::busy_stuck)
        busy = true;
    else if (fault_ == sim_fault::busy_open)
        busy = false;
    if (fault_ == sim_fault::data_low)
        data = false;
    else if (fault_ == sim_fault::data_high)
        data = true;
    return static_cast<uint8_t>((data ? status_data : 0) | (busy ? status_busy : 0));
}
