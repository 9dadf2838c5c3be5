// The parallel port: data register out, status register in, and the backend
// that carries the accesses to the instrument.
#pragma once
#include <cstddef>
#include <cstdint>

inline constexpr uint32_t port_base = 0x378; // data register; status at port_base + 1

// Line masks: AND takes a line low, OR with the complement takes it high.
inline constexpr uint32_t select_mask = 0xBF;    // D6 low: converter selected
inline constexpr uint32_t release_mask = 0xFF;   // base pattern for releasing it
inline constexpr uint32_t clock_mask = 0xDF;     // D5 low; complement 0x20 raises it
inline constexpr uint32_t data_one_mask = 0xEF;  // D4 low; complement 0x10 sends a 1
inline constexpr uint32_t data_zero_mask = 0xFF; // complement adds nothing: a 0

// Status register bits.
inline constexpr uint32_t status_data = 0x40; // converter serial data out
inline constexpr uint32_t status_busy = 0x80; // converter busy

// One way of reaching the port. open() is given the text after the kind
// ("/dev/parport0", "dut=notch", ...) and on failure writes the reason.
struct port_backend {
    const char *kind;
    bool (*open)(const char *arg, char *reason, size_t reason_size);
    void (*close)();
    void (*set_data)(uint8_t value);
    uint8_t (*get_status)();
};

// Writes the low 8 bits of value to the data register.
void write_data(uint32_t value);

// Reads the status register, zero-extended.
uint32_t read_status();

// Chooses and opens the backend named by setting (TALVIK_PORT; null or empty
// for the simulated instrument) and the trace named by trace_path (null for
// none). A port that cannot be opened ends the run with status 4. The port is
// released when the process ends.
void open_port(const char *setting, const char *trace_path);

// Sends the accesses to an already opened backend (tests and benchmarks).
void use_port(const port_backend *backend);

// Reads a port address for direct I/O (0x378, 888); on failure writes the
// reason.
bool read_port_address(const char *text, uint16_t *address, char *reason, size_t reason_size);

// Splits a setting into its backend and the text the backend is given;
// null when no backend takes it.
const port_backend *port_for(const char *setting, const char **arg);
