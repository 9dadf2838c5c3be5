// How the adapter's bytes travel: libftdi1 on Linux, FTDI's own ftd2xx.dll
// on Windows, one file each. Everything else of the adapter (the pin map,
// the sample-before-drive rule, the buffer rules, the stream and its ready
// windows) is port_ftdi.cpp's, written once.
#pragma once
#include <cstddef>
#include <cstdint>

// The device strings this transport reads, as --help lists them.
extern const char ftdi_device_forms[];

enum class ftdi_chip { ft232r, ft232h, ft2232h, other };
inline constexpr uint8_t ftdi_mode_reset = 0x00, ftdi_mode_bitbang = 0x01,
                         ftdi_mode_syncbb = 0x04;

// One open adapter's connection: the transport's own state.
struct ftdi_transport;

// Opens the adapter that device names (empty: the first FT232H, FT2232H or
// FT232R), interface A; null with the reason and its remedy.
ftdi_transport *transport_open(const char *device, ftdi_chip *chip, char *reason, size_t size);
// Lets go of the adapter and frees the connection.
void transport_close(ftdi_transport *usb);
// The last failure's text.
const char *transport_error(ftdi_transport *usb);

bool transport_purge(ftdi_transport *usb);
// Empties the chip's buffer of samples only: a chip stalled for room clocks
// on, what it was given still to drive.
bool transport_purge_samples(ftdi_transport *usb);
bool transport_set_mode(ftdi_transport *usb, uint8_t mask, uint8_t mode);
// One byte, and so at most one line change, a microsecond.
bool transport_set_byte_rate(ftdi_transport *usb);
// The lowest latency timer the driver takes.
bool transport_set_latency(ftdi_transport *usb);

// Writes bytes, nobody reading meanwhile: they must fit the chip's buffers.
bool transport_write(ftdi_transport *usb, const uint8_t *bytes, size_t count);
// Hands bytes over without waiting for them to be clocked; they stay put
// until transport_handed says they are taken.
bool transport_hand_over(ftdi_transport *usb, const uint8_t *bytes, size_t count);
// 1 once the bytes handed over are taken, 0 not yet, -1 failed; with wait,
// not before they are taken (or have failed).
int transport_handed(ftdi_transport *usb, bool wait);
// The samples that have arrived, up to max, waiting a short while at most:
// how many, or -1.
int transport_read(ftdi_transport *usb, uint8_t *into, size_t max);
