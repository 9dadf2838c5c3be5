// The screen on a Windows console: a screen buffer of its own, made active
// while the view is up and written a grid at a time, keys read as events
// without echo. The console's buffer, modes and cursor are restored on
// every way out (screen_stop, also at exit). Control-C and Break stay
// signals: processed input is kept on.
#include "tune/console_cells.hpp"
#include "tune/screen.hpp"

#include <cstdio>
#include <cstdlib>
#include <io.h>
#include <vector>
#include <windows.h>

namespace {

bool up = false;
HANDLE input = INVALID_HANDLE_VALUE, original = INVALID_HANDLE_VALUE, buffer = INVALID_HANDLE_VALUE;
DWORD input_mode = 0;
WORD normal_attribute = 0x07;
std::FILE *held_errors = nullptr;
int saved_stderr = -1;
std::vector<CHAR_INFO> frame;

// The visible window of the buffer, and the buffer made to fit it, so that
// nothing scrolls.
SMALL_RECT window_of(HANDLE h) {
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (!GetConsoleScreenBufferInfo(h, &info))
        return SMALL_RECT{0, 0, 79, 23};
    return info.srWindow;
}

void fit_buffer() {
    SMALL_RECT w = window_of(buffer);
    COORD size = {static_cast<SHORT>(w.Right - w.Left + 1), static_cast<SHORT>(w.Bottom - w.Top + 1)};
    SetConsoleScreenBufferSize(buffer, size);
}

} // namespace

bool terminal_can_draw(std::string *why) {
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (!GetConsoleScreenBufferInfo(GetStdHandle(STD_OUTPUT_HANDLE), &info)) {
        *why = "standard output is not a console window";
        return false;
    }
    return true;
}

bool screen_start(std::string *reason) {
    std::fflush(stderr);
    held_errors = std::tmpfile();
    if (held_errors) {
        saved_stderr = _dup(2);
        _dup2(_fileno(held_errors), 2);
    }
    original = GetStdHandle(STD_OUTPUT_HANDLE);
    input = GetStdHandle(STD_INPUT_HANDLE);
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (!GetConsoleScreenBufferInfo(original, &info) || !GetConsoleMode(input, &input_mode)) {
        screen_stop();
        *reason = "this console cannot show the screen (is input or output redirected?)";
        return false;
    }
    normal_attribute = info.wAttributes;
    buffer = CreateConsoleScreenBuffer(GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                       CONSOLE_TEXTMODE_BUFFER, nullptr);
    if (buffer == INVALID_HANDLE_VALUE || !SetConsoleActiveScreenBuffer(buffer)) {
        screen_stop();
        *reason = "this console cannot show the screen: no screen buffer";
        return false;
    }
    up = true;
    std::atexit(screen_stop);
    CONSOLE_CURSOR_INFO cursor = {1, FALSE};
    SetConsoleCursorInfo(buffer, &cursor);
    fit_buffer();
    // Keys one at a time, no echo, resizes reported; Control-C still a signal.
    SetConsoleMode(input, ENABLE_PROCESSED_INPUT | ENABLE_WINDOW_INPUT);
    return true;
}

void screen_stop() {
    if (up) {
        up = false;
        SetConsoleMode(input, input_mode);
        SetConsoleActiveScreenBuffer(original);
        CloseHandle(buffer);
        buffer = INVALID_HANDLE_VALUE;
    }
    if (held_errors) {
        std::fflush(stderr);
        _dup2(saved_stderr, 2);
        _close(saved_stderr);
        std::rewind(held_errors);
        char chunk[4096];
        size_t n;
        while ((n = std::fread(chunk, 1, sizeof chunk, held_errors)) > 0)
            (void)!_write(2, chunk, static_cast<unsigned>(n));
        std::fclose(held_errors);
        held_errors = nullptr;
    }
}

void screen_size(int *rows, int *cols) {
    SMALL_RECT w = window_of(up ? buffer : GetStdHandle(STD_OUTPUT_HANDLE));
    *rows = w.Bottom - w.Top + 1;
    *cols = w.Right - w.Left + 1;
}

void screen_show(const grid &g) {
    if (!up || g.rows <= 0 || g.cols <= 0)
        return;
    frame.resize(static_cast<size_t>(g.rows) * static_cast<size_t>(g.cols));
    for (int r = 0; r < g.rows; ++r)
        for (int c = 0; c < g.cols; ++c) {
            CHAR_INFO &x = frame[static_cast<size_t>(r) * static_cast<size_t>(g.cols) +
                                 static_cast<size_t>(c)];
            x.Char.AsciiChar = g.at(r, c).c;
            x.Attributes = console_attribute(g.at(r, c).t, normal_attribute);
        }
    SMALL_RECT w = window_of(buffer);
    SMALL_RECT to = {w.Left, w.Top, static_cast<SHORT>(w.Left + g.cols - 1),
                     static_cast<SHORT>(w.Top + g.rows - 1)};
    WriteConsoleOutputA(buffer, frame.data(),
                        COORD{static_cast<SHORT>(g.cols), static_cast<SHORT>(g.rows)}, COORD{0, 0},
                        &to);
}

int screen_key(int wait_ms) {
    if (!up)
        return -1;
    for (;;) {
        if (WaitForSingleObject(input, static_cast<DWORD>(wait_ms)) != WAIT_OBJECT_0)
            return -1;
        INPUT_RECORD event;
        DWORD n = 0;
        if (!ReadConsoleInputA(input, &event, 1, &n) || n == 0)
            return -1;
        if (event.EventType == WINDOW_BUFFER_SIZE_EVENT) {
            fit_buffer();
            return key_resize;
        }
        if (event.EventType != KEY_EVENT || !event.Event.KeyEvent.bKeyDown)
            continue;
        const KEY_EVENT_RECORD &k = event.Event.KeyEvent;
        int key = console_key(k.wVirtualKeyCode, k.uChar.AsciiChar,
                              (k.dwControlKeyState & SHIFT_PRESSED) != 0);
        if (key != -1)
            return key;
        wait_ms = 0; // a Shift alone: look again without waiting
    }
}
