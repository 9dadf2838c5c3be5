// A line typed at a prompt, or piped in: false at the end of the input or
// when a stop is asked for, so that the tool can leave without writing.
#pragma once
#include <string>

bool read_answer(std::string *line);
