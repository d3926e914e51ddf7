// velmora: the desktop application.
#include "app/corvane_app.h"
#include "serial/serial_port.h"

#include <QApplication>

int main(int argc, char** argv) {
    // The application object first, then the one direct serial port; they
    // go in the reverse order.
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("velmora"));
    QApplication::setApplicationVersion(QStringLiteral(VELMORA_VERSION));
    velmora::SerialPort serialPort;

    velmora::app::CCorvaneApp corvane(serialPort);
    QStringList arguments = QApplication::arguments();
    arguments.removeFirst();
    int code = 0;
    if (corvane.initInstance(arguments)) {
        code = QApplication::exec();
    } else {
        code = corvane.startupExitCode();
    }
    corvane.exitInstance();
    return code;
}
