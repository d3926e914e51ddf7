// Start-up of the desktop application to a window on screen, against a bare
// Qt Widgets program that shows an empty main window, both measured in the
// same run as whole processes: from the start of the process to the moment
// its window is exposed. Run under a display (Xvfb):
//
//     xvfb-run -a -s "-screen 0 1024x700x24" build/bench/app/app_startup_bench [ROUNDS]
//
// Prints the median and the fastest time of each, and their ratio.

#include "app/corvane_app.h"
#include "app/font_warm_up.h"
#include "app/main_frame.h"
#include "app/single_instance.h"
#include "serial/serial_port.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QMainWindow>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>
#include <QWindow>
#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

// Reports once the window is on screen, then ends the process.
int reportWhenExposed(QWidget* window) {
    QTimer poll;
    poll.setInterval(0);
    QObject::connect(&poll, &QTimer::timeout, [window] {
        if (window->windowHandle() && window->windowHandle()->isExposed()) {
            std::printf("shown\n");
            std::fflush(stdout);
            QApplication::exit(0);
        }
    });
    poll.start();
    return QApplication::exec();
}

int referenceChild(int argc, char** argv) {
    QApplication application(argc, argv);
    QMainWindow window;
    window.resize(420, 160);
    window.show();
    return reportWhenExposed(&window);
}

int velmoraChild(int argc, char** argv) {
    // As the program starts: the font configuration read ahead, the
    // application object, the look for a running window to hand over to, the
    // serial port, the start-up with its settings and the .mot association,
    // and the hand-over served from then on.
    velmora::app::FontWarmUp fonts;
    QApplication application(argc, argv);
    if (velmora::app::SingleInstance::handOverStart({})) {
        return 1; // another window took the start: nothing was measured
    }
    velmora::SerialPort serialPort;
    velmora::app::AppOptions options;
    options.singleInstance = true;
    options.fonts = &fonts;
    velmora::app::CCorvaneApp corvane(serialPort, options);
    if (!corvane.initInstance({})) {
        return 1;
    }
    const int code = reportWhenExposed(corvane.mainFrame());
    corvane.exitInstance();
    return code;
}

double runChild(const QString& self, const QString& kind, const QProcessEnvironment& environment) {
    QProcess child;
    child.setProcessEnvironment(environment);
    QElapsedTimer clock;
    clock.start();
    child.start(self, {"--child", kind});
    if (!child.waitForStarted(10000)) {
        return -1;
    }
    while (!child.canReadLine() && child.state() == QProcess::Running) {
        child.waitForReadyRead(10000);
    }
    const double seconds = clock.nsecsElapsed() / 1e9;
    const bool shown = child.readLine().trimmed() == "shown";
    child.waitForFinished(10000);
    return shown ? seconds : -1;
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

} // namespace

int main(int argc, char** argv) {
    if (argc >= 3 && std::string_view(argv[1]) == "--child") {
        return std::string_view(argv[2]) == "velmora" ? velmoraChild(argc, argv)
                                                      : referenceChild(argc, argv);
    }
    QCoreApplication application(argc, argv);
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 15;
    // Settings and the association go to folders of the run's own.
    QTemporaryDir home;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("XDG_CONFIG_HOME", home.path() + "/config");
    environment.insert("XDG_DATA_HOME", home.path() + "/data");
    if (!environment.contains("XDG_RUNTIME_DIR")) {
        environment.insert("XDG_RUNTIME_DIR", home.path());
    }
    const QString self = QCoreApplication::applicationFilePath();

    // One warm-up of each: the first start reads the libraries from disk.
    runChild(self, "reference", environment);
    runChild(self, "velmora", environment);
    std::vector<double> reference;
    std::vector<double> velmora;
    for (int round = 0; round < rounds; ++round) {
        const double bare = runChild(self, "reference", environment);
        const double program = runChild(self, "velmora", environment);
        if (bare < 0 || program < 0) {
            std::fprintf(stderr, "app_startup_bench: a child did not show its window\n");
            return 1;
        }
        reference.push_back(bare);
        velmora.push_back(program);
    }
    const double referenceMedian = median(reference);
    const double velmoraMedian = median(velmora);
    std::printf("start-up to a shown window, %d rounds (process start to exposure)\n", rounds);
    std::printf("  reference (empty QMainWindow): median %.1f ms, fastest %.1f ms\n",
                referenceMedian * 1e3, *std::min_element(reference.begin(), reference.end()) * 1e3);
    std::printf("  velmora:                       median %.1f ms, fastest %.1f ms\n",
                velmoraMedian * 1e3, *std::min_element(velmora.begin(), velmora.end()) * 1e3);
    std::printf("  ratio velmora / reference (medians): %.2f\n", velmoraMedian / referenceMedian);
    return 0;
}
