// A tour of the desktop application for review: the main window with a
// program loaded, the port list, each transfer dialog in the middle of a run
// against a paced simulated board (each stage of a boot-mode run), the about
// box, message boxes, the settings dialog and the run log, saved as PNGs.
// scripts/screenshots runs it under Xvfb with a window manager.
//
// Usage: screenshot_tour OUTPUT_FOLDER

#include "app/about_dialog.h"
#include "app/commands.h"
#include "app/corvane_app.h"
#include "app/exchange_dialog.h"
#include "app/form_view.h"
#include "app/main_frame.h"
#include "app/port_chooser.h"
#include "app/run_log.h"
#include "app/settings_dialog.h"
#include "control/corvane_view.h"
#include "serial/serial_port.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPointer>
#include <QProgressBar>
#include <QScreen>
#include <QTemporaryDir>
#include <QTimer>
#include <cstdio>

using namespace velmora;
using namespace velmora::app;
using namespace std::chrono_literals;

namespace {

QString outputFolder;
int saved = 0;

// The window as the screen shows it, frame and caption included where a
// window manager draws them; the widget alone where the screen gives nothing.
void save(QWidget* window, const QString& name, QWidget* alsoShow = nullptr) {
    QRect area = window->frameGeometry();
    if (alsoShow) {
        area = area.united(alsoShow->frameGeometry());
    }
    area.adjust(-12, -12, 12, 12);
    QPixmap picture;
    if (QScreen* screen = window->screen()) {
        area = area.intersected(screen->geometry());
        picture = screen->grabWindow(0, area.x(), area.y(), area.width(), area.height());
    }
    // Off the screen, or not placed yet: the widget alone.
    if (picture.isNull() || picture.width() < window->width() || picture.toImage().allGray()) {
        picture = window->grab();
    }
    const QString path = outputFolder + "/" + name + ".png";
    if (picture.save(path)) {
        ++saved;
        std::printf("%s\n", qPrintable(path));
    } else {
        std::fprintf(stderr, "screenshot_tour: cannot write %s\n", qPrintable(path));
    }
}

void writeFile(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        file.write(bytes);
    }
}

// Grabs each transfer dialog once, when its run is part way through.
class DialogGrabber : public QObject {
public:
    QPointer<QWidget> mainWindow;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Show) {
            if (auto* dialog = qobject_cast<ExchangeDialog*>(watched)) {
                follow(dialog);
            }
        }
        return QObject::eventFilter(watched, event);
    }

private:
    void follow(ExchangeDialog* dialog) {
        const QString caption = dialog->windowTitle();
        QString name;
        if (caption.startsWith("Waiting")) {
            name = "response-wait";
        } else if (caption.startsWith("Programming")) {
            name = "programming";
        } else if (caption.startsWith("Boot")) {
            name = "boot-download";
        }
        if (dialog->stageLabel() && name == "programming") {
            name += dialog->stageLabel()->text().startsWith("Step 2") ? "-preflash" : "-program";
        }
        if (name.isEmpty() || taken.contains(name)) {
            return;
        }
        QPointer<ExchangeDialog> running = dialog;
        connect(dialog, &ExchangeDialog::progressShown, this,
                [this, running, name](const QString& status, int value, int maximum) {
                    const bool midway =
                        name == "response-wait"
                            ? status == QStringLiteral("Parsing... 02")
                            : maximum > 0 && value * 3 >= maximum && value < maximum;
                    if (!midway || taken.contains(name)) {
                        return;
                    }
                    taken << name;
                    // A moment to be painted, then the picture.
                    QTimer::singleShot(120, running, [this, running, name] {
                        save(running, name);
                        save(running, name + "-over-window", mainWindow);
                    });
                });
    }

    QStringList taken;
};

} // namespace

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    outputFolder = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("screenshots");
    QDir().mkpath(outputFolder);

    QTemporaryDir work;
    const QString program = work.filePath("blink.mot");
    QFile::copy(QStringLiteral(VELMORA_SOURCE_DIR "/examples/blink.mot"), program);
    // Stand-ins for the boot files, for the simulated chip only.
    QDir().mkpath(work.filePath("boot"));
    QByteArray bootProgram(1558, '\0');
    for (int i = 0; i < bootProgram.size(); ++i) {
        bootProgram[i] = static_cast<char>(i * 13 + 1);
    }
    writeFile(work.filePath("boot/3062f.bin"), bootProgram);
    writeFile(work.filePath("boot/PreFlash.bin"), QByteArray(512, '\x5A'));

    AppOptions options;
    options.places.workDir = work.path().toStdString();
    options.places.bootDir = work.filePath("boot").toStdString();
    options.desktopIntegration = false;
    // Every box is pictured, then closed.
    QStringList boxesSeen;
    options.presenter = [&boxesSeen](QWidget* owner, const QString& text, Icon icon,
                                     const QString& detail) {
        auto box = makeMessageBox(owner, text, icon, detail);
        QPointer<QMessageBox> shown = box.get();
        const QString name = text.startsWith("Porgramming")    ? QStringLiteral("message-success")
                             : text.startsWith("Please check") ? QStringLiteral("message-reminder")
                             : text.startsWith("3062f.bin")    ? QStringLiteral("message-boot-file")
                             : text.startsWith("Boot Mode")    ? QStringLiteral("message-short")
                             : text.startsWith("System not Ready(A)")
                                 ? QStringLiteral("message-failure-cause")
                                 : QString();
        QTimer::singleShot(400, shown, [shown, name, owner] {
            if (!name.isEmpty()) {
                save(shown, name);
                // The reminder over the window whose caption it asks about.
                if (name == QStringLiteral("message-reminder") && owner && owner->isVisible()) {
                    save(owner, name + "-over-window", shown);
                }
            }
            shown->accept();
        });
        boxesSeen << text;
        box->exec();
    };
    // Paced at the line's rate, each answer a little late: the dialogs stay
    // up long enough to be seen.
    options.simulatedBoard.pace = true;
    options.simulatedBoard.replyDelay = 350ms;

    SerialPort serialPort;
    CCorvaneApp corvane(serialPort, options);
    if (!corvane.initInstance({program})) {
        std::fprintf(stderr, "screenshot_tour: start-up failed\n");
        return 1;
    }
    CMainFrame* frame = corvane.mainFrame();
    frame->move(200, 150);
    frame->formView()->portChooser().setChoice(PortChooser::simulatedChoice());

    DialogGrabber grabber;
    grabber.mainWindow = frame;
    application.installEventFilter(&grabber);

    QTimer::singleShot(800, frame, [&] {
        save(frame, "main-window");
        // The port list, open.
        PortChooser& chooser = frame->formView()->portChooser();
        chooser.showPopup();
        QApplication::processEvents();
        QTimer::singleShot(300, [&] {
            save(frame, "port-chooser", chooser.view()->window());
            chooser.hidePopup();
        });
        QEventLoop settle;
        QTimer::singleShot(700, &settle, &QEventLoop::quit);
        settle.exec();
        // The about box.
        QTimer::singleShot(300, [&] {
            if (auto* about = qobject_cast<CAboutDialog*>(QApplication::activeModalWidget())) {
                save(about, "about");
                about->accept();
            }
        });
        frame->routeCommand(AboutCommand, CMainFrame::Source::Menu);

        // Flash: both response waits and the programming transfer.
        frame->routeCommand(FlashCommand, CMainFrame::Source::Toolbar);
        // A port that is not there: the failure box with its cause and what to do.
        frame->formView()->portChooser().setChoice(QStringLiteral("/dev/ttyUSB9"));
        frame->routeCommand(FlashCommand, CMainFrame::Source::Toolbar);
        frame->formView()->portChooser().setChoice(PortChooser::simulatedChoice());
        // The first start's form, then the program loaded again with its reminder.
        corvane.onFileNew();
        QEventLoop blank;
        QTimer::singleShot(300, &blank, &QEventLoop::quit);
        blank.exec();
        save(frame, "main-window-nothing-loaded");
        corvane.openDocumentFile(program);
        // The settings dialog, set to a folder without boot files, and the
        // error that names it.
        QTimer::singleShot(300, [&] {
            if (auto* settings = qobject_cast<SettingsDialog*>(QApplication::activeModalWidget())) {
                settings->bootDirEdit()->setText(work.filePath("empty"));
                QPointer<SettingsDialog> shown = settings;
                QTimer::singleShot(200, shown, [shown] {
                    save(shown, "settings");
                    shown->accept();
                });
            }
        });
        QDir().mkpath(work.filePath("empty"));
        corvane.onSettings();
        frame->formView()->portChooser().setChoice(PortChooser::simulatedFastChoice());
        frame->routeCommand(SetBootModeCommand, CMainFrame::Source::Key);
        corvane.setBootDir(QString());
        frame->formView()->portChooser().setChoice(PortChooser::simulatedChoice());

        // Flash Action Setting: the boot download echoes byte by byte, so the
        // answers come at the line's pace only.
        BoardOptions boot = options.simulatedBoard;
        boot.replyDelay = 0ms;
        frame->formView()->setSimulatedBoardOptions(boot);
        frame->routeCommand(SetBootModeCommand, CMainFrame::Source::Key);

        // The main window with its log pane after the runs, and the status
        // line with the last result.
        corvane.showLog();
        QEventLoop shown;
        QTimer::singleShot(500, &shown, &QEventLoop::quit);
        shown.exec();
        save(frame, "main-window-after-runs");
        QApplication::quit();
    });
    QApplication::exec();
    corvane.exitInstance();
    std::printf("%d pictures; messages: %s\n", saved, qPrintable(boxesSeen.join(" | ")));
    return saved >= 14 ? 0 : 1;
}
