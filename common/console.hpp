// The console attached to standard output.
#pragma once

// Makes every write to a terminal land at once, so that each text appears at
// the cursor position set just before it. Call once, before any output.
void console_start();

// True when standard output is an interactive console.
bool console_is_terminal();

// Moves the cursor to 1-based (column, row). Writes nothing when standard
// output is not a console, so redirected output holds only the texts.
void set_cursor(int column, int row);
