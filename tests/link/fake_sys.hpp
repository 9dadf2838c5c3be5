// Stand-ins for the system calls of the real port backends: every call to a
// parallel port is logged as a line of text, devices behave as a test
// describes them, and a board's GPIO chips as gpio_standin models them.
#pragma once
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace fake_sys {

struct device {
    int open_errno = 0;   // open fails with this
    bool regular = false; // a regular file, not a device
    int claim_errno = 0;  // PPCLAIM fails with this
    int access_errno = 0; // PPWDATA and PPRSTATUS fail with this
};

extern std::map<std::string, device> devices; // by path; others: ENOENT
extern std::vector<std::string> calls;
extern uint8_t status;   // what status reads return
extern int ioperm_errno; // ioperm fails with this

// What each open descriptor is: a device by path, a GPIO chip, or one of a
// chip's line requests.
struct open_file {
    std::string path;
    int chip = -1, request = -1;
};
extern std::map<int, open_file> files;

void reset();

} // namespace fake_sys
