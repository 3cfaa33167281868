// keyenceserver: plays a Keyence KV PLC (upper link) for testing a client,
// on a TCP port or on the serial port COMn (9600 bit/s, 8 data bits, even
// parity, 1 stop bit; a file named COMn in the current directory, such as
// a link to a pty, stands for the port). RDS is answered with the values
// typed at the "Data:" prompt, WRS is shown as a dump.
//
//   keyenceserver PORT
//   keyenceserver -s N
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "plc/qzrplc.h"

int main(int argc, char** argv)
{
    bool serial = argc == 3 && std::strcmp(argv[1], "-s") == 0;
    const char* number = argc == 2 ? argv[1] : serial ? argv[2] : "";
    char* end = nullptr;
    long port = std::strtol(number, &end, 10);
    if ((argc != 2 && !serial) || end == number || *end != '\0' || port < 1 || port > 65535) {
        std::fprintf(stderr, "usage: keyenceserver PORT\n       keyenceserver -s N   (serial port COMN)\n");
        return 2;
    }
    QZRPLCKeyenceServer(serial ? QZRPLC_KEYENCE_SERIAL : 0, static_cast<int32_t>(port));
    return 1;
}
