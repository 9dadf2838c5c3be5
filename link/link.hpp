// The two serial protocols spoken over the port lines.
#pragma once
#include <cstddef>
#include <cstdint>

struct port_batch;

// Command words: every reading, and the three start-up words.
inline constexpr uint32_t measure_command = 0x8110 | 0x0600; // 0x8710
inline constexpr uint32_t start_up_words[3] = {measure_command | 0x000C, measure_command | 0x0008,
                                               measure_command | 0x0004};

inline constexpr int32_t ready_timeout_ticks = 220;
inline constexpr int32_t start_up_timeout_ticks = 2000;

// Shifts the 32-bit word and then the low 8 bits of control into the
// synthesizer, least significant bit first, and pulses its update line.
void load_synthesizer(int32_t word, uint32_t control);

// The same, added to a batch: the load's 122 writes; an exchange's 50 writes,
// 16 reads and its ready wait (exchange_accesses in all), from the index
// add_exchange returns. reply_of and exchange_late read its outcome once the
// batch has run.
void add_load(port_batch &batch, int32_t word, uint32_t control);
inline constexpr size_t exchange_accesses = 67;
size_t add_exchange(port_batch &batch, uint32_t command);
uint32_t reply_of(const port_batch &batch, size_t exchange);
bool exchange_late(const port_batch &batch, size_t exchange);

// Sends bits 15..0 of command to the converter while clocking its 16-bit
// reply back, then waits (boundedly) for it to be ready. The wait ends early
// when a stop is asked for (common/stop.hpp).
uint32_t converter_exchange(uint32_t command);

// Whether the last exchange's ready wait gave up.
extern bool exchange_timed_out;

// Sends the start-up words, waiting for ready after each; a converter that
// stays busy fails the link (status 4, "Converter not ready - check the
// instrument"). Returns early when a stop is asked for or the link fails.
void converter_start();
