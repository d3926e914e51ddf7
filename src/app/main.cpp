// velmora: the desktop application.
#include "app/command_line.h"
#include "app/corvane_app.h"
#include "app/font_warm_up.h"
#include "app/single_instance.h"
#include "serial/serial_port.h"

#include <QApplication>
#include <cstdio>
#include <optional>

int main(int argc, char** argv) {
    QCoreApplication::setApplicationName(QStringLiteral("velmora"));
    QCoreApplication::setApplicationVersion(QStringLiteral(VELMORA_VERSION));
    using velmora::app::CommandLineInfo;
    QStringList given;
    for (int i = 1; i < argc; ++i) {
        given << QString::fromLocal8Bit(argv[i]);
    }
    const CommandLineInfo request = CommandLineInfo::parse(given);
    // --help and --version are answered before anything needs a display.
    if (request.showHelp || request.showVersion) {
        const QCoreApplication names(argc, argv); // the usage line names the program as run
        const QString text = request.showHelp ? CommandLineInfo::helpText()
                                              : QStringLiteral("velmora " VELMORA_VERSION "\n");
        std::fputs(text.toLocal8Bit().constData(), stdout);
        return std::fflush(stdout) == 0 ? 0 : 1;
    }

    // Read ahead only for a start that shows the window, not for the
    // association's removal or a print request.
    std::optional<velmora::app::FontWarmUp> fonts;
    if (request.shellCommand == CommandLineInfo::FileNew ||
        request.shellCommand == CommandLineInfo::FileOpen ||
        request.shellCommand == CommandLineInfo::FileDde) {
        fonts.emplace();
    }
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
    options.fonts = fonts ? &*fonts : nullptr;
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
