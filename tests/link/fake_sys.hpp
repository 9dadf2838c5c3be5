// Stand-ins for the system calls of the real port backends: every call is
// logged as a line of text, and devices behave as a test describes them.
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

void reset();

} // namespace fake_sys
