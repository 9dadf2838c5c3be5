// Standard output checked at the end: output cut short (a full disk, a
// closed pipe, /dev/full) never passes for done.
#pragma once

// Call first in main. At exit, standard output is flushed and closed; a
// write that failed is said on standard error, "PROGRAM: cannot write
// standard output: REASON", and the status becomes 1.
void check_output_at_exit(const char *program);

// Flushes standard output now; a failure is said as above, once, and the
// caller ends with status 1.
bool flush_output();
