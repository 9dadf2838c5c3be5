// The Windows console's keys and colours in talvik-tune's terms. Kept free
// of windows.h (the console's codes are written out) so that the mapping
// is tested on every platform.
#pragma once
#include "tune/grid.hpp"

// A key event's virtual key, its character (0 where none) and whether
// Shift was held, as screen_key reports it; -1 for keys that mean nothing.
int console_key(unsigned virtual_key, char ascii, bool shift);

// A cell's console attribute: foreground and background bits as the
// console's CHAR_INFO takes them, over the console's own colours `normal`.
unsigned short console_attribute(tone t, unsigned short normal);
