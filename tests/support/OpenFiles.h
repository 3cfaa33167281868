// The number of descriptors the test process has open, for tests that
// check that nothing is left open.
#pragma once
#include <dirent.h>

inline int OpenDescriptors()
{
    int n = 0;
    DIR* d = opendir("/proc/self/fd");
    while (d != nullptr && readdir(d) != nullptr)
        ++n;
    if (d != nullptr)
        closedir(d);
    return n;
}
