#include "common/console.hpp"

#include <cstdio>
#include <io.h>
#include <windows.h>

bool console_is_terminal() { return _isatty(_fileno(stdout)) != 0; }

void console_start() {
    if (console_is_terminal())
        setvbuf(stdout, nullptr, _IONBF, 0);
}

void set_cursor(int column, int row) {
    // The handle is fetched on every call; a console that cannot be
    // positioned just receives the texts where its cursor is.
    COORD at;
    at.X = static_cast<SHORT>(column - 1);
    at.Y = static_cast<SHORT>(row - 1);
    SetConsoleCursorPosition(GetStdHandle(STD_OUTPUT_HANDLE), at);
}
