// Whether the terminal on standard output can show the live screen: kept
// apart, since term.h defines a macro for every capability's name.
#include "tune/screen.hpp"

#include <cstdlib>
#include <curses.h>
#include <term.h>
#include <unistd.h>

bool terminal_can_draw(std::string *why) {
    const char *term = std::getenv("TERM");
    std::string named = std::string("TERM=") + (term ? term : "");
    int error = 0;
    if (setupterm(nullptr, STDOUT_FILENO, &error) != OK) {
        *why = "this terminal (" + named + ") is unknown";
        return false;
    }
    char *motion = tigetstr("cup");
    bool ok = motion && motion != reinterpret_cast<char *>(-1);
    del_curterm(cur_term);
    if (!ok)
        *why = "this terminal (" + named + ") cannot move the cursor";
    return ok;
}
