#pragma once

// What the desktop application's tests share: a rig that starts the
// application in-process with short timing and its own folders, and a watcher
// that answers every modal window (message boxes, the about box, the open
// dialog) so that none is ever left waiting, and records what each showed.

#include "app/about_dialog.h"
#include "app/corvane_app.h"
#include "app/exchange_dialog.h"
#include "app/form_view.h"
#include "app/main_frame.h"
#include "core/flags.h"
#include "serial/serial_port.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileDialog>
#include <QLabel>
#include <QMessageBox>
#include <QPointer>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <memory>

namespace velmora::app::testing {

struct SeenBox {
    QString title;
    QString text;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    bool ownedByFrame = false;
    bool applicationModal = false;
    bool frameVisible = false; // whether the main window was on screen then
    int width = 0;
    int titleWidth = 0; // the bold title's advance in the box's font
    int fontHeight = 0;
    QString detail;     // the text under the message
    QString statusLine; // the main window's status line then
    QString caption;    // the main window's caption then
    QString summary;    // what the form said about the program then
};

struct SeenProgress {
    QString caption;
    QString status;
    QString details; // bytes, rate and time left
    QString stage;
    int value = 0;
    int maximum = 0;
    bool flashChecked = false; // the F button's state at that moment
};

// Answers modal windows as they come up and records them.
class ModalWatcher : public QObject {
public:
    explicit ModalWatcher(std::function<QWidget*()> frameOf) : frame(std::move(frameOf)) {
        poll.setInterval(2);
        QObject::connect(&poll, &QTimer::timeout, this, [this] { look(); });
        poll.start();
        qApp->installEventFilter(this);
    }
    ~ModalWatcher() override { qApp->removeEventFilter(this); }

    // What to do with the open dialog; the default cancels it.
    std::function<void(QFileDialog&)> onFileDialog;
    // Called when a transfer dialog comes up.
    std::function<void(ExchangeDialog&)> onExchange;

    QList<SeenBox> boxes;
    QStringList dialogCaptions;
    QList<SeenProgress> progress;
    int aboutBoxes = 0;
    // Paint events of transfer dialogs' contents while they were up.
    int dialogPaints = 0;
    QString aboutTitle;
    QStringList fileDialogFilters;
    QString fileDialogTitle;

    QStringList texts() const {
        QStringList result;
        for (const auto& box : boxes) {
            result << box.text;
        }
        return result;
    }
    void clear() {
        boxes.clear();
        dialogCaptions.clear();
        progress.clear();
        aboutBoxes = 0;
        dialogPaints = 0;
    }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Show) {
            if (auto* dialog = qobject_cast<ExchangeDialog*>(watched)) {
                seeExchange(*dialog);
            }
        }
        if (event->type() == QEvent::Paint) {
            auto* widget = qobject_cast<QWidget*>(watched);
            if (widget && widget != widget->window() &&
                qobject_cast<ExchangeDialog*>(widget->window())) {
                ++dialogPaints;
            }
        }
        return QObject::eventFilter(watched, event);
    }

private:
    void seeExchange(ExchangeDialog& dialog) {
        const QString caption = dialog.windowTitle();
        dialogCaptions << caption;
        QObject::connect(&dialog, &ExchangeDialog::progressShown, this,
                         [this, caption, &dialog](const QString& status, int value, int maximum) {
                             progress.append(
                                 {caption, status,
                                  dialog.detailsLabel() ? dialog.detailsLabel()->text() : QString(),
                                  dialog.stageLabel() ? dialog.stageLabel()->text() : QString(),
                                  value, maximum, flashChecked()});
                         });
        if (onExchange) {
            onExchange(dialog);
        }
    }

    bool flashChecked() const {
        auto* mainFrame = qobject_cast<CMainFrame*>(frame());
        QAction* flash = mainFrame ? mainFrame->toolbarAction(32809) : nullptr;
        return flash && flash->isChecked();
    }

    void look() {
        QWidget* modal = QApplication::activeModalWidget();
        if (!modal) {
            return;
        }
        if (auto* box = qobject_cast<QMessageBox*>(modal)) {
            QWidget* owner = frame();
            auto* mainFrame = qobject_cast<CMainFrame*>(owner);
            QFont bold = box->font();
            bold.setBold(true);
            boxes.append({box->windowTitle(), box->text(), box->icon(),
                          owner && box->parentWidget() == owner,
                          box->windowModality() == Qt::ApplicationModal,
                          owner && owner->isVisible(), box->width(),
                          QFontMetrics(bold).horizontalAdvance(box->windowTitle()),
                          box->fontMetrics().height(), box->informativeText(),
                          mainFrame ? mainFrame->statusLine() : QString(),
                          owner ? owner->windowTitle() : QString(),
                          mainFrame ? mainFrame->formView()->summaryLabel()->text() : QString()});
            box->button(QMessageBox::Ok)->click();
            return;
        }
        if (auto* about = qobject_cast<CAboutDialog*>(modal)) {
            ++aboutBoxes;
            aboutTitle = about->windowTitle();
            about->accept();
            return;
        }
        if (auto* files = qobject_cast<QFileDialog*>(modal)) {
            fileDialogFilters = files->nameFilters();
            fileDialogTitle = files->windowTitle();
            if (onFileDialog) {
                onFileDialog(*files);
            }
            // Never left waiting, also when a check in the handler failed.
            if (files->isVisible()) {
                files->reject();
            }
        }
    }

    std::function<QWidget*()> frame;
    QTimer poll;
};

// Runs a real event loop for a while, so that it goes idle as the program's
// own loop does (QTest::qWait only processes events, it never waits for them).
inline void runIdleFor(int milliseconds) {
    QEventLoop loop;
    QTimer::singleShot(milliseconds, &loop, &QEventLoop::quit);
    loop.exec();
}

// Calls `then` with the modal window of type T as soon as it is up (looked
// for every 2 ms), or with null when none came up within ten seconds.
template <typename T> void whenModal(std::function<void(T*)> then) {
    auto* poll = new QTimer;
    auto since = std::make_shared<QElapsedTimer>();
    since->start();
    poll->setInterval(2);
    QObject::connect(poll, &QTimer::timeout, [poll, since, then = std::move(then)] {
        auto* modal = qobject_cast<T*>(QApplication::activeModalWidget());
        if (!modal && !since->hasExpired(10000)) {
            return;
        }
        poll->stop();
        poll->deleteLater();
        then(modal);
    });
    poll->start();
}

// Short lengths: polls of 1 ms, ticks of 5 ms, pauses of no time.
inline Timing shortTiming() {
    using namespace std::chrono_literals;
    Timing timing;
    timing.pollWait = 1000us;
    timing.tick = 5ms;
    timing.pass = 0us;
    return timing;
}

// The application started in-process, in a folder of its own.
class AppRig {
public:
    AppRig() : watcher([this] { return app ? static_cast<QWidget*>(app->mainFrame()) : nullptr; }) {
        dataReady = 0;
        bootMode = 0;
        bootDownloadDone = 0;
        options.places.workDir = work.path().toStdString();
        options.places.bootDir = (work.path() + "/boot").toStdString();
        QDir().mkpath(work.path() + "/boot");
        options.timing = shortTiming();
        options.desktopIntegration = false;
    }
    ~AppRig() {
        if (app) {
            app->exitInstance();
        }
        app.reset();
        dataReady = 0;
        bootMode = 0;
        bootDownloadDone = 0;
    }

    bool start(const QStringList& arguments = {}) {
        app = std::make_unique<CCorvaneApp>(serialPort, options);
        started = app->initInstance(arguments);
        return started;
    }

    // Started and the window active, so that its keys act.
    bool startActive(const QStringList& arguments = {}) {
        if (!start(arguments)) {
            return false;
        }
        return activate();
    }

    bool activate() {
        frame()->activateWindow();
        return QTest::qWaitForWindowActive(frame());
    }

    CMainFrame* frame() const { return app->mainFrame(); }
    QString path(const QString& name) const { return work.filePath(name); }

    // A copy of the example program under another name.
    QString exampleCopy(const QString& name) const {
        const QString target = path(name);
        QFile::remove(target);
        QFile::copy(QStringLiteral(VELMORA_SOURCE_DIR "/examples/blink.mot"), target);
        return target;
    }

    QTemporaryDir work;
    AppOptions options;
    SerialPort serialPort;
    std::unique_ptr<CCorvaneApp> app;
    ModalWatcher watcher;
    bool started = false;
};

// Settings and the desktop folders of a test program live in a folder of its
// own, set before the application object exists.
inline void useOwnHome() {
    static QTemporaryDir home;
    qputenv("XDG_CONFIG_HOME", (home.path() + "/config").toUtf8());
    qputenv("XDG_DATA_HOME", (home.path() + "/data").toUtf8());
    qputenv("HOME", home.path().toUtf8());
}

} // namespace velmora::app::testing

// A Qt Test main with the settings in a folder of the test's own.
#define VELMORA_APP_TEST_MAIN(TestClass)                                                           \
    int main(int argc, char** argv) {                                                              \
        velmora::app::testing::useOwnHome();                                                       \
        QApplication application(argc, argv);                                                      \
        QApplication::setQuitOnLastWindowClosed(false);                                            \
        TestClass test;                                                                            \
        return QTest::qExec(&test, argc, argv);                                                    \
    }
