// A stand-in for the libftdi1 functions the FTDI backend calls, linked in
// place of the library: the chip of ftdi_chip.hpp behind libftdi1's API.
#pragma once
#include "link/ftdi_chip.hpp"

#include <ftdi.h>
