// omronserver: plays an Omron PLC (FINS/TCP) on a TCP port for testing a
// client. The node address exchange is answered at once, memory area reads
// with the values typed at the "Data:" prompt; writes are shown as a dump.
//
//   omronserver PORT
#include <cstdio>
#include <cstdlib>

#include "plc/qzrplc.h"

int main(int argc, char** argv)
{
    char* end = nullptr;
    long port = argc == 2 ? std::strtol(argv[1], &end, 10) : 0;
    if (argc != 2 || *end != '\0' || port < 1 || port > 65535) {
        std::fprintf(stderr, "usage: omronserver PORT\n");
        return 2;
    }
    QZRPLCOmronServer(0, static_cast<int32_t>(port));
    return 1;
}
