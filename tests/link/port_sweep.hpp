// The default sweep (1 to 10 MHz in 5 % steps) through run_sweep on the
// port setting names, opened and closed here: the results file's bytes.
// path: where the file is written (a temporary file where empty). failure:
// where given, the link's failure text ("" for none); else none is expected.
#pragma once
#include <string>

std::string default_sweep_through(const char *setting, const std::string &path = "",
                                  std::string *failure = nullptr);
