#include "app/screen.hpp"
#include "common/console.hpp"

#include <cstdlib>

// The command interpreter clears the console. Redirected output is left
// alone: CLS would put a form feed into the file.
void clear_screen() {
    if (console_is_terminal())
        (void)std::system("CLS");
}
