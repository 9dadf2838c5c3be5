#include "app/screen.hpp"

#include <cstdlib>

// The command interpreter clears the console; its result is not needed.
void clear_screen() { (void)std::system("CLS"); }
