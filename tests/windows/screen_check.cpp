// talvik-tune's Windows screen against a real console (Wine's, in a
// terminal): the input mode it sets while up (no echo, no lines, Control-C
// still a signal) and the modes and active buffer it gives back, after a
// frame and a key poll. Writes what it finds to the file named by its
// argument (standard output is the console under test); status 0 when all
// is as it was.
#include "tune/screen.hpp"

#include <cstdio>
#include <string>
#include <windows.h>

int main(int argc, char **argv) {
    std::FILE *report = argc > 1 ? std::fopen(argv[1], "w") : nullptr;
    if (!report)
        return 2;
    HANDLE in = GetStdHandle(STD_INPUT_HANDLE), out = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD before = 0, during = 0, after = 0;
    CONSOLE_SCREEN_BUFFER_INFO first, last;
    if (!GetConsoleMode(in, &before) || !GetConsoleScreenBufferInfo(out, &first)) {
        std::fputs("no console\n", report);
        return 2;
    }
    std::string reason;
    if (!screen_start(&reason)) {
        std::fprintf(report, "screen_start: %s\n", reason.c_str());
        return 1;
    }
    GetConsoleMode(in, &during);
    int rows = 0, cols = 0;
    screen_size(&rows, &cols);
    grid g;
    g.reset(rows, cols);
    g.put(0, 0, "screen check", tone::bold);
    screen_show(g);
    screen_key(10);
    screen_stop();
    screen_stop(); // twice is safe
    GetConsoleMode(in, &after);
    bool restored = after == before && GetConsoleScreenBufferInfo(out, &last) &&
                    last.dwSize.X == first.dwSize.X && last.dwSize.Y == first.dwSize.Y;
    bool keys = (during & (ENABLE_ECHO_INPUT | ENABLE_LINE_INPUT)) == 0 &&
                (during & ENABLE_PROCESSED_INPUT) != 0;
    std::fprintf(report, "size %dx%d, keys %s, console %s\n", cols, rows, keys ? "raw" : "cooked",
                restored ? "restored" : "changed");
    std::fclose(report);
    return keys && restored && rows > 0 && cols > 0 ? 0 : 1;
}
