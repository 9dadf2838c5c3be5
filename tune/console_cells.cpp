#include "tune/console_cells.hpp"

#include "tune/screen.hpp"

namespace {

// The console's codes (winuser.h and wincon.h).
enum : unsigned { vk_prior = 0x21, vk_next = 0x22, vk_left = 0x25, vk_right = 0x27 };
enum : unsigned short {
    fg_blue = 0x1,
    fg_green = 0x2,
    fg_red = 0x4,
    fg_bright = 0x8,
    bg_mask = 0xF0,
    reverse_video = 0x4000, // COMMON_LVB_REVERSE_VIDEO
};

} // namespace

int console_key(unsigned virtual_key, char ascii, bool shift) {
    switch (virtual_key) {
    case vk_left:
        return shift ? key_far_left : key_left;
    case vk_right:
        return shift ? key_far_right : key_right;
    case vk_next:
        return key_far_left;
    case vk_prior:
        return key_far_right;
    default:
        break;
    }
    unsigned char c = static_cast<unsigned char>(ascii);
    return c >= ' ' && c < 127 ? c : c == '\r' ? '\n' : -1;
}

unsigned short console_attribute(tone t, unsigned short normal) {
    unsigned short background = normal & bg_mask;
    unsigned short plain = normal & (fg_blue | fg_green | fg_red);
    switch (t) {
    case tone::dim:
        return background | plain;
    case tone::bold:
        return background | plain | fg_bright;
    case tone::last:
        return background | fg_green | fg_blue; // cyan
    case tone::live:
        return background | fg_red | fg_green | fg_bright; // yellow
    case tone::mark:
        return background | plain | fg_bright | reverse_video;
    case tone::cursor:
        return background | fg_red | fg_green | fg_bright | reverse_video;
    case tone::alarm:
        return background | fg_red | fg_bright;
    case tone::hold:
    case tone::plain:
        break;
    }
    return normal & (bg_mask | fg_blue | fg_green | fg_red | fg_bright);
}
