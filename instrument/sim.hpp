// The simulated instrument: a DDS synthesizer and a pipelined serial level
// converter, seen only through the data byte written to the port and the
// status byte read back, as the real ones are.
#pragma once
#include "common/port_lines.hpp"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

enum class dut_model { through, lowpass, bandpass, notch, crystal };

// Faults of a home-built instrument, for bringing one up: busy always or
// never shown, data out stuck low or high, a synthesizer that ignores its
// lines, readings that scatter by a few dB, a start-up word whose conversion
// never ends.
enum class sim_fault {
    none,
    busy_stuck,
    busy_open,
    data_low,
    data_high,
    synth_dead,
    noisy,
    startup_stuck
};

// The detector's floor: what it reads with no signal, and below which it
// reads nothing lower.
inline constexpr double sim_floor_dbm = -100.0;

// Level in dBm the detector reads at hz: the generator's own output (0 dBm,
// less the DDS's sin(x)/x roll-off; nothing at 0 Hz, word 0) through the
// device under test, its response moved up in frequency by detune_hz (a
// trimmer turned); never below the floor.
double sim_level_dbm(dut_model dut, double hz, double detune_hz = 0);

// The noisy fault's scatter: a level error spread evenly over -3 to +3 dB in
// steps of 0.01 dB (standard deviation 1.73 dB), from a generator state.
double sim_noise_db(uint32_t &state);

// The converter's reply word for a level: detector 2.1 V at 0 dBm and 25 mV
// per dB, 16383 counts at 2.46955 V, two's complement in bits 0-13, sign in
// bit 15, bit 14 different from bit 15 only when the count saturated.
uint16_t sim_reply_word(double dbm);

class sim_instrument {
  public:
    struct options {
        dut_model dut = dut_model::bandpass;
        bool fixed_reply = false;
        uint16_t reply_value = 0;
        bool busy_forever = false;
        int64_t busy_us = 5;
        int busy_reads = 0; // where set, a conversion lasts so many status reads instead
        sim_fault fault = sim_fault::none;
        int stuck_word = 0; // startup-stuck: the start-up word (1 to 3) never ready
        int noise_db = 3;   // noisy: readings scatter evenly over +-this many dB
        std::string knob; // a file holding the detuning in Hz, read as it changes
    };
    // Options "dut=NAME,reply=N,busy=US|forever,fault=NAME", any number, in
    // any order; false with a reason on a bad one, nothing changed then.
    bool configure(const char *options, char *reason, size_t reason_size);
    void reset();

    void write(uint8_t data);
    uint8_t read();

    uint32_t tuning_word() const { return word_; }
    uint8_t control() const { return control_; }
    double frequency_hz() const { return 100e6 * word_ / 4294967296.0; }
    uint16_t last_command() const { return command_; }
    int commands() const { return commands_; }
    int updates() const { return updates_; }
    int faults() const { return faults_; }
    bool fixed_reply() const { return options_.fixed_reply; }
    uint8_t lines() const { return lines_; } // the data register as last written

    // The instrument's own time (conversions, the knob's re-reads): the
    // steady clock, unless a test gives it another (null: the steady clock
    // again). reset() puts the steady clock back.
    using time_source = std::chrono::steady_clock::time_point (*)();
    void set_time_source(time_source now) { now_ = now ? now : std::chrono::steady_clock::now; }

  private:
    using clock = std::chrono::steady_clock;

    void synthesizer_write(uint8_t before, uint8_t now);
    void converter_write(uint8_t before, uint8_t now);
    void command(uint16_t word);
    void finish_conversion();
    void fault(int kind, const char *what, int detail);
    double detuning_hz();

    options options_;
    time_source now_ = std::chrono::steady_clock::now;
    uint32_t noise_ = 12345; // the noisy fault's generator

    // the data register as last written; released, all lines high at power-up
    uint8_t lines_ = idle_lines;

    // synthesizer
    uint64_t shift_ = 0;
    int shifted_ = 0;
    uint32_t word_ = 0;
    uint8_t control_ = 0;
    int updates_ = 0;

    // converter
    int bits_ = 0;
    uint16_t incoming_ = 0;
    uint16_t outgoing_ = 0;
    uint8_t data_out_ = 0;
    int start_up_ = 0; // start-up words taken in order, 0..3
    uint16_t result_ = 0;
    uint16_t pending_ = 0;
    bool converting_ = false;
    bool stuck_ = false; // a conversion that never ends
    int reads_left_ = 0; // status reads a conversion timed in reads still shows busy for
    clock::time_point ready_at_{};
    uint16_t command_ = 0;
    int commands_ = 0;

    int faults_ = 0;
    unsigned fault_kinds_ = 0;

    // the knob: its last good value, and when its file was last read
    double knob_hz_ = 0;
    clock::time_point knob_read_{};
    bool knob_ever_ = false;
};
