// The speed a tty line runs, in bit/s, custom speeds included.
#pragma once

// Output speed of the terminal open on fd, or -1 when it cannot be read.
long line_speed(int fd);
