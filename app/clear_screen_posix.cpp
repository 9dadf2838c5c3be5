#include "app/screen.hpp"
#include "common/console.hpp"

#include <cstdio>

// Home the cursor and erase the display; nothing at all when output is
// redirected, so a file or pipe receives only the program's texts.
void clear_screen() {
    if (console_is_terminal())
        std::fputs("\033[H\033[2J", stdout);
}
