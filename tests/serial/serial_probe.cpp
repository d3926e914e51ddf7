#include "serial/serial_port.h"

#include <QCoreApplication>

// Another program trying the device: exit 0 when it could open it, 3 when not.
// It leaves the device open: the process end releases it.
int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    if (argc != 2) {
        return 2;
    }
    return velmora::theSerialPort().open(argv[1], 9600) == 1 ? 0 : 3;
}
