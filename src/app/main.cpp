// velmora: the desktop application.
#include "app/corvane_app.h"
#include "app/single_instance.h"
#include "serial/serial_port.h"

#include <QApplication>

int main(int argc, char** argv) {
    // The application object first, then the one direct serial port; they
    // go in the reverse order.
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("velmora"));
    QApplication::setApplicationVersion(QStringLiteral(VELMORA_VERSION));
    velmora::SerialPort serialPort;

    QStringList arguments = QApplication::arguments();
    arguments.removeFirst();
    // A window already running takes the file (or just comes up) and this start ends.
    if (velmora::app::SingleInstance::handOverStart(arguments)) {
        return 0;
    }

    velmora::app::AppOptions options;
    options.singleInstance = true;
    velmora::app::CCorvaneApp corvane(serialPort, options);
    int code = 0;
    if (corvane.initInstance(arguments)) {
        code = QApplication::exec();
    } else {
        code = corvane.startupExitCode();
    }
    corvane.exitInstance();
    return code;
}
