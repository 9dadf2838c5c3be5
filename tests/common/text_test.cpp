// Text from outside made safe to show: on a terminal, and inside JSON.
#include "common/text.hpp"

#include <gtest/gtest.h>

namespace {

TEST(text, json_strings_are_valid_utf8_whatever_they_are_given) {
    // Valid UTF-8 of each length passes; quotes, backslashes and control
    // characters are escaped.
    EXPECT_EQ(json_string("a\"b\\c"), "\"a\\\"b\\\\c\"");
    EXPECT_EQ(json_string("\xC3\xA9 \xE2\x86\x92 \xF0\x9F\x93\xA1"), "\"\xC3\xA9 \xE2\x86\x92 \xF0\x9F\x93\xA1\"");
    EXPECT_EQ(json_string(std::string("\x1B[31m\n\x7F\0", 8)), "\"\\u001B[31m\\u000A\\u007F\\u0000\"");
    // Each byte that is not part of valid UTF-8 becomes U+FFFD: a stray byte,
    // a sequence cut short, an overlong form, a surrogate, past U+10FFFF.
    EXPECT_EQ(json_string("\xFF" "a"), "\"\\uFFFDa\"");
    EXPECT_EQ(json_string("\xE2\x82"), "\"\\uFFFD\\uFFFD\"");
    EXPECT_EQ(json_string("\xC0\xAF"), "\"\\uFFFD\\uFFFD\"");
    EXPECT_EQ(json_string("\xED\xA0\x80"), "\"\\uFFFD\\uFFFD\\uFFFD\"");
    EXPECT_EQ(json_string("\xF4\x90\x80\x80"), "\"\\uFFFD\\uFFFD\\uFFFD\\uFFFD\"");
    EXPECT_EQ(json_string("\xE2\x82x"), "\"\\uFFFD\\uFFFDx\"");
    // The edges of each length still pass.
    EXPECT_EQ(json_string("\xC2\x80\xF4\x8F\xBF\xBF"), "\"\xC2\x80\xF4\x8F\xBF\xBF\"");
}

TEST(text, shortened_text_says_how_long_it_was) {
    EXPECT_EQ(shortened("abc", 3), "abc");
    EXPECT_EQ(shortened(std::string(10, 'x'), 4), "xxxx...(10 bytes)");
    EXPECT_EQ(shortened("\x1B[", 10), "\\x1B[");
    // Never cut inside a character.
    EXPECT_EQ(shortened("a\xC3\xA9z", 2), "a...(4 bytes)");
}

TEST(text, what_could_steer_a_terminal_is_shown_escaped) {
    // C0 and C1 controls (CSI as one byte, and as U+009B), bytes that are not
    // UTF-8; text in any script passes.
    EXPECT_EQ(printable("a\x1B[31m\x9B\xC2\x9B\xFF" "b\n"), "a\\x1B[31m\\x9B\\xC2\\x9B\\xFFb\\n");
    EXPECT_EQ(printable("\xC3\xA9 \xC2\xA0 \xE2\x86\x92"), "\xC3\xA9 \xC2\xA0 \xE2\x86\x92");
    EXPECT_EQ(printable(printable("\x9B\x1B")), printable("\x9B\x1B"));
}

} // namespace
