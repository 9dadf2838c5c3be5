#include "link/sys.hpp"

#include <sys/io.h>

namespace sys {

int ioperm(unsigned long from, unsigned long count, int on) { return ::ioperm(from, count, on); }
int iopl(int level) { return ::iopl(level); }
void outb(uint8_t value, uint16_t port) { ::outb(value, port); }
uint8_t inb(uint16_t port) { return ::inb(port); }

} // namespace sys
