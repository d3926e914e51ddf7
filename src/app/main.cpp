// velmora: the desktop application.
#include "app/command_line.h"
#include "app/corvane_app.h"
#include "app/font_warm_up.h"
#include "app/single_instance.h"
#include "serial/serial_port.h"

#include <QApplication>
#include <cstdio>

int main(int argc, char** argv) {
    QCoreApplication::setApplicationName(QStringLiteral("velmora"));
    QCoreApplication::setApplicationVersion(QStringLiteral(VELMORA_VERSION));
    // --help and --version are answered before anything needs a display.
    {
        QStringList given;
        for (int i = 1; i < argc; ++i) {
            given << QString::fromLocal8Bit(argv[i]);
        }
        const velmora::app::CommandLineInfo request = velmora::app::CommandLineInfo::parse(given);
        if (request.showHelp || request.showVersion) {
            const QCoreApplication names(argc, argv); // the usage line names the program as run
            const QString text = request.showHelp ? velmora::app::CommandLineInfo::helpText()
                                                  : QStringLiteral("velmora " VELMORA_VERSION "\n");
            std::fputs(text.toLocal8Bit().constData(), stdout);
            return std::fflush(stdout) == 0 ? 0 : 1;
        }
    }

    velmora::app::FontWarmUp fonts;
    // The application object first, then the one direct serial port; they
    // go in the reverse order.
    QApplication application(argc, argv);
    velmora::SerialPort serialPort;

    QStringList arguments = QApplication::arguments();
    arguments.removeFirst();
    for (const QString& option : velmora::app::CommandLineInfo::parse(arguments).unknownOptions) {
        std::fprintf(stderr, "velmora: unknown option '%s' ignored\n", qPrintable(option));
    }
    // A window already running takes the file (or just comes up) and this start ends.
    if (velmora::app::SingleInstance::handOverStart(arguments)) {
        return 0;
    }

    velmora::app::AppOptions options;
    options.singleInstance = true;
    options.fonts = &fonts;
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
