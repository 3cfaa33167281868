// Reads the kernel's termios2, which holds the speed in bit/s even where
// termios has no code for it. Its header cannot be included beside
// <termios.h>, hence a file of its own.
#include "LineSpeed.h"

#include <asm/termbits.h>
#include <sys/ioctl.h>

long line_speed(int fd)
{
    termios2 t{};
    return ioctl(fd, TCGETS2, &t) == 0 ? static_cast<long>(t.c_ospeed) : -1;
}
