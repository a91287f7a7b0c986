// Internal: baud rates that have no B-constant, set and read through the kernel's termios2.
// Kept apart because the kernel's termios header cannot share a file with <termios.h>.
#pragma once

#include <cstdint>

namespace tarvello::posix {

bool SetArbitraryBaud(int fd, uint32_t baud);  // false when the driver refuses or lacks support
uint32_t OutputBaud(int fd);                   // 0 when unknown

}  // namespace tarvello::posix
