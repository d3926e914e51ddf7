#include "serial/serial_port.h"

#include <cstdio>
#include <cstring>
#include <unistd.h>

// Another program trying the device: exit 0 when it could open it, 3 when not
// (the reason on stderr). With "hold" it says "open" on stdout and keeps the
// device until it is killed; otherwise the process end releases it.
int main(int argc, char** argv) {
    if (argc < 2) {
        return 2;
    }
    velmora::SerialPort port;
    if (port.open(argv[1], 9600) != 1) {
        std::fprintf(stderr, "%s\n", port.lastFailure().reason.c_str());
        return 3;
    }
    if (argc > 2 && std::strcmp(argv[2], "hold") == 0) {
        std::printf("open\n");
        std::fflush(stdout);
        for (;;) {
            ::pause();
        }
    }
    return 0;
}
