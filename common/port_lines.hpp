// The instrument's lines on the parallel port, as wired: the eight data lines
// (connector pins 2-9) and the two status bits that carry the converter's
// answers. The program and the simulated instrument both use these names.
#pragma once
#include <cstdint>

// Data register, written whole.
inline constexpr uint8_t synth_data_line = 0x01;    // D0, pin 2: synthesizer serial data
inline constexpr uint8_t synth_clock_line = 0x02;   // D1, pin 3: rising edge shifts D0 in
inline constexpr uint8_t synth_update_line = 0x04;  // D2, pin 4: pulse applies the 40 bits
inline constexpr uint8_t synth_load_n_line = 0x08;  // D3, pin 5: low during synthesizer loads
inline constexpr uint8_t conv_data_line = 0x10;     // D4, pin 6: converter serial data in
inline constexpr uint8_t conv_clock_line = 0x20;    // D5, pin 7: converter serial clock
inline constexpr uint8_t conv_select_n_line = 0x40; // D6, pin 8: converter select, active low
inline constexpr uint8_t spare_line = 0x80;         // D7, pin 9: always high

// Every line high: converter released with its clock and data high, and the
// state a port powers up in.
inline constexpr uint8_t idle_lines = 0xFF;

// Status register, read only.
inline constexpr uint8_t status_data = 0x40; // bit 6, pin 10 (nAck): converter serial data out
// Bit 7 reads the inverse of the connector's Busy pin (pin 11): it reads 1
// while the converter is busy, which holds pin 11 low.
inline constexpr uint8_t status_busy = 0x80;
