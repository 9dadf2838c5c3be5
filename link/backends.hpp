// The ways of reaching the lines; a build compiles those its platform has.
#pragma once
#include "link/port.hpp"

extern const port_backend sim_port;   // the simulated instrument
extern const port_backend ppdev_port; // a Linux parallel-port device
extern const port_backend io_port;    // direct port I/O
extern const port_backend ftdi_port;  // an FTDI chip in synchronous bit-bang mode
extern const port_backend gpio_port;  // a board's GPIO lines (the GPIO character device)
