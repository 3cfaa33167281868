// Opening the files that the system reads to their end (configuration,
// definitions and the files their values name).
#pragma once
#include <cstdio>

// Open path for reading (binary, close-on-exec) when it is a regular file.
// A FIFO, a device, a socket or a directory would have the reader wait or
// loop forever, so it is refused without blocking: null with errno EISDIR
// for a directory, EINVAL for the others, or the open's own errno.
std::FILE* XKWFileOpenRead(const char* path);
