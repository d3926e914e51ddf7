// The main window: caption, shape, menu, toolbar, keys, command routing and
// rules, status bar, message boxes, open dialog, new, save and drops; the
// port chooser by keyboard, the recent files, notices on the status line and
// the transfer texts.
#include "app/app_settings.h"
#include "app/commands.h"
#include "app/form_view.h"
#include "app/port_chooser.h"
#include "app/run_log.h"
#include "app/transfer_pace.h"
#include "app_test_support.h"

#include <QHelpEvent>
#include <QLineEdit>
#include <QMenuBar>
#include <QMimeData>
#include <QMouseEvent>
#include <QStatusBar>
#include <QToolBar>
#include <QToolButton>
#include <QToolTip>

using namespace velmora;
using namespace velmora::app;
using namespace velmora::app::testing;
using Handler = CMainFrame::Handler;

Q_DECLARE_METATYPE(Handler)

namespace {

struct Routed {
    int command;
    Handler handler;
};

// Every command the window routes, in order.
class RouteLog : public QObject {
public:
    explicit RouteLog(CMainFrame* frame) {
        connect(frame, &CMainFrame::commandRouted, this, [this](int command, Handler handler) {
            routed.append({command, handler});
        });
    }
    QList<Routed> routed;
};

QToolButton* buttonOf(CMainFrame* frame, int command) {
    return qobject_cast<QToolButton*>(
        frame->toolBar()->widgetForAction(frame->toolbarAction(command)));
}

QStringList filesIn(const QString& folder) {
    return QDir(folder).entryList(QDir::Files | QDir::NoDotAndDotDot, QDir::Name);
}

} // namespace

class MainWindowTest : public QObject {
    Q_OBJECT
private slots:
    void captionAndShape();
    void menuAndToolbarLayout();
    void keysReachTheirHandlers_data();
    void keysReachTheirHandlers();
    void menuToolbarAndMnemonicReachTheSameHandlers();
    void disabledCommandFromAKeyDoesNothing();
    void checkRuleIsDrawnOnIdle();
    void statusBarPromptsAndTooltips();
    void messageBoxesAndTheirCaptions();
    void openDialogFiltersAndLoad();
    void newDocumentAndSaveWritesNothing();
    void droppedFileIsOpened();
    void formBackgroundAndPortChooser();
    void formShowsWhatWillBeProgrammed();
    void typingADevicePathSendsNoCommands();
    void portChooserByKeyboard();
    void portEntriesSayWhatTheyAre();
    void recentFilesInTheLoadMenu();
    void noticesReachTheStatusLineAndTheLog();
    void transferTexts();
};

void MainWindowTest::captionAndShape() {
    AppRig rig;
    QVERIFY(rig.startActive());
    CMainFrame* frame = rig.frame();
    QCOMPARE(frame->windowTitle(), QStringLiteral("Default - Velmora"));
    QCOMPARE(dataReady, 0);

    const Qt::WindowFlags flags = frame->windowFlags();
    QVERIFY(flags & Qt::WindowMinimizeButtonHint);
    QVERIFY(flags & Qt::WindowSystemMenuHint);
    // Resizable, down to a size that still shows the whole form.
    QVERIFY(frame->minimumSize() != frame->maximumSize());
    frame->resize(frame->minimumSize());
    QTest::qWait(20);
    QVERIFY(frame->width() >= frame->formView()->minimumSizeHint().width());
    QVERIFY(frame->formView()->height() >= frame->formView()->minimumSizeHint().height());
    QVERIFY(frame->formView()->width() >= frame->formView()->minimumSizeHint().width());
    frame->resize(frame->minimumSize() + QSize(200, 100));
    QTRY_COMPARE(frame->size(), frame->minimumSize() + QSize(200, 100));
    QVERIFY(frame->statusBar()->isSizeGripEnabled() == false);

    // The toolbar stays docked at the top: nothing to drag or float.
    QVERIFY(!frame->toolBar()->isMovable());
    QVERIFY(!frame->toolBar()->isFloatable());
    // Moved there by the program all the same, the form keeps its whole size.
    const QSize formSize = frame->formView()->minimumSizeHint();
    frame->addToolBar(Qt::LeftToolBarArea, frame->toolBar());
    frame->resize(frame->minimumSize());
    QTest::qWait(50);
    QVERIFY(frame->formView()->width() >= formSize.width());
    QVERIFY(frame->formView()->height() >= formSize.height());
    QVERIFY(frame->width() > formSize.width());
}

void MainWindowTest::menuAndToolbarLayout() {
    AppRig rig;
    QVERIFY(rig.startActive());
    CMainFrame* frame = rig.frame();

    const QList<QAction*> bar = frame->menuBar()->actions();
    QCOMPARE(bar.size(), 4);
    QCOMPARE(bar[0]->text(), QStringLiteral("&Load"));
    QCOMPARE(bar[1]->text(), QStringLiteral("&Flash"));
    QCOMPARE(bar[2]->text(), QStringLiteral("&View"));
    QCOMPARE(bar[3]->text(), QStringLiteral("&Help"));
    // "&Flash" lists every programming command with its key; no picture, no check mark.
    QVERIFY(bar[1]->menu() != nullptr);
    QVERIFY(bar[1]->icon().isNull());
    QVERIFY(!bar[1]->isCheckable());
    const QList<QAction*> flash = bar[1]->menu()->actions();
    const QStringList flashTexts{"&Flash\tF", "&All flash", "&Write command",
                                 "Write &Data To Flash ROM\tS", "Flash A&ction Setting\tB"};
    const int flashCommands[] = {FlashCommand, AllFlashCommand, WriteCommandCommand,
                                 WriteToFlashCommand, SetBootModeCommand};
    QCOMPARE(flash.size(), 5);
    for (int i = 0; i < 5; ++i) {
        QCOMPARE(flash[i]->text(), flashTexts[i]);
        QCOMPARE(flash[i]->data().toInt(), flashCommands[i]);
        QCOMPARE(flash[i]->statusTip(), commandText(flashCommands[i]).prompt);
    }
    // Opened while a transfer is pending, Write Data To Flash ROM is greyed out.
    rig.app->formView()->view().programmingPending = 1;
    emit bar[1]->menu()->aboutToShow();
    QVERIFY(!flash[3]->isEnabled());
    QVERIFY(flash[0]->isEnabled());
    rig.app->formView()->view().programmingPending = 0;

    const QList<QAction*> load = bar[0]->menu()->actions();
    QCOMPARE(load.size(), 3);
    QCOMPARE(load[0]->text(), QStringLiteral("Open..."));
    QVERIFY(load[1]->isSeparator());
    QCOMPARE(load[2]->text(), QStringLiteral("Exit"));
    const QList<QAction*> help = bar[3]->menu()->actions();
    QCOMPARE(help.size(), 1);
    QCOMPARE(help[0]->text(), QStringLiteral("&About Brenlow.."));

    // Nine items: five buttons with separators between them.
    const QList<QAction*> tools = frame->toolBar()->actions();
    QCOMPARE(tools.size(), 9);
    const int expected[] = {OpenCommand, FlashCommand, AllFlashCommand, WriteCommandCommand,
                            AboutCommand};
    for (int i = 0; i < 9; ++i) {
        if (i % 2 == 1) {
            QVERIFY(tools[i]->isSeparator());
        } else {
            QCOMPARE(tools[i]->data().toInt(), expected[i / 2]);
        }
    }
    QCOMPARE(frame->toolBarArea(frame->toolBar()), Qt::TopToolBarArea);
    for (int command : {FlashCommand, AllFlashCommand, WriteCommandCommand}) {
        QVERIFY(frame->toolbarAction(command)->isCheckable());
    }
}

void MainWindowTest::keysReachTheirHandlers_data() {
    QTest::addColumn<int>("key");
    QTest::addColumn<int>("modifiers");
    QTest::addColumn<int>("command");
    QTest::addColumn<Handler>("handler");
    QTest::addColumn<QString>("message");

    const int none = Qt::NoModifier;
    QTest::newRow("Ctrl+A about") << int(Qt::Key_A) << int(Qt::ControlModifier) << 57664
                                  << Handler::Application << QString();
    QTest::newRow("B boot mode") << int(Qt::Key_B) << none << 32786 << Handler::View
                                 << "Data is not ready. Please reload your file !";
    QTest::newRow("Ctrl+C copy") << int(Qt::Key_C) << int(Qt::ControlModifier) << 57634
                                 << Handler::Dropped << QString();
    QTest::newRow("F flash") << int(Qt::Key_F) << none << 32809 << Handler::View
                             << "Data is not ready. Please reload your file !";
    QTest::newRow("L open") << int(Qt::Key_L) << none << 57601 << Handler::Application << QString();
    QTest::newRow("Ctrl+N new") << int(Qt::Key_N) << int(Qt::ControlModifier) << 57600
                                << Handler::Application << QString();
    QTest::newRow("S write") << int(Qt::Key_S) << none << 32775 << Handler::View
                             << "System not ready. Please repeat the flash action again !";
    QTest::newRow("Ctrl+S save") << int(Qt::Key_S) << int(Qt::ControlModifier) << 57603
                                 << Handler::Document << QString();
    QTest::newRow("Ctrl+V paste") << int(Qt::Key_V) << int(Qt::ControlModifier) << 57637
                                  << Handler::Dropped << QString();
    QTest::newRow("Alt+Backspace undo")
        << int(Qt::Key_Backspace) << int(Qt::AltModifier) << 57643 << Handler::Dropped << QString();
    QTest::newRow("Shift+Delete cut")
        << int(Qt::Key_Delete) << int(Qt::ShiftModifier) << 57635 << Handler::Dropped << QString();
    QTest::newRow("F6 next pane") << int(Qt::Key_F6) << none << 57680 << Handler::Dropped
                                  << QString();
    QTest::newRow("Shift+F6 previous pane")
        << int(Qt::Key_F6) << int(Qt::ShiftModifier) << 57681 << Handler::Dropped << QString();
    QTest::newRow("Ctrl+Insert copy") << int(Qt::Key_Insert) << int(Qt::ControlModifier) << 57634
                                      << Handler::Dropped << QString();
    QTest::newRow("Shift+Insert paste")
        << int(Qt::Key_Insert) << int(Qt::ShiftModifier) << 57637 << Handler::Dropped << QString();
    QTest::newRow("Ctrl+X cut") << int(Qt::Key_X) << int(Qt::ControlModifier) << 57635
                                << Handler::Dropped << QString();
    QTest::newRow("Ctrl+Z undo") << int(Qt::Key_Z) << int(Qt::ControlModifier) << 57643
                                 << Handler::Dropped << QString();
}

void MainWindowTest::keysReachTheirHandlers() {
    QFETCH(int, key);
    QFETCH(int, modifiers);
    QFETCH(int, command);
    QFETCH(Handler, handler);
    QFETCH(QString, message);

    AppRig rig;
    QVERIFY(rig.startActive());
    RouteLog log(rig.frame());
    QTest::keyClick(rig.frame(), Qt::Key(key), Qt::KeyboardModifiers(modifiers));
    QTRY_COMPARE(log.routed.size(), 1);
    QCOMPARE(log.routed[0].command, command);
    QCOMPARE(log.routed[0].handler, handler);
    if (message.isEmpty()) {
        QVERIFY(rig.watcher.boxes.isEmpty());
    } else {
        QTRY_COMPARE(rig.watcher.texts(), QStringList{message});
    }
    if (command == AboutCommand) {
        QCOMPARE(rig.watcher.aboutBoxes, 1);
        QCOMPARE(rig.watcher.aboutTitle, QStringLiteral("About Velmora(3062f)"));
    }
    if (command == OpenCommand) {
        QCOMPARE(rig.watcher.fileDialogTitle, QStringLiteral("Open"));
    }
}

void MainWindowTest::menuToolbarAndMnemonicReachTheSameHandlers() {
    AppRig rig;
    QVERIFY(rig.startActive());
    CMainFrame* frame = rig.frame();
    RouteLog log(frame);

    frame->menuAction(FlashCommand)->trigger();
    QTest::mouseClick(buttonOf(frame, FlashCommand), Qt::LeftButton);
    QTest::mouseClick(buttonOf(frame, AllFlashCommand), Qt::LeftButton);
    QTest::mouseClick(buttonOf(frame, WriteCommandCommand), Qt::LeftButton);
    QVERIFY(rig.activate());
    // Alt+F, the mnemonic of the menu-bar item, opens the Flash menu; F there runs Flash.
    QTest::keyClick(frame, Qt::Key_F, Qt::AltModifier);
    QTRY_VERIFY(frame->flashMenu()->isVisible());
    QTest::keyClick(frame->flashMenu(), Qt::Key_F);
    QTRY_COMPARE(log.routed.size(), 5);
    const int expected[] = {FlashCommand, FlashCommand, AllFlashCommand, WriteCommandCommand,
                            FlashCommand};
    for (int i = 0; i < 5; ++i) {
        QCOMPARE(log.routed[i].command, expected[i]);
        QCOMPARE(log.routed[i].handler, Handler::View);
    }
    QCOMPARE(rig.watcher.texts(),
             QStringList(5, QStringLiteral("Data is not ready. Please reload your file !")));

    log.routed.clear();
    QTest::mouseClick(buttonOf(frame, AboutCommand), Qt::LeftButton);
    frame->menuAction(AboutCommand)->trigger();
    QTest::mouseClick(buttonOf(frame, OpenCommand), Qt::LeftButton);
    frame->menuAction(OpenCommand)->trigger();
    QTRY_COMPARE(log.routed.size(), 4);
    QCOMPARE(rig.watcher.aboutBoxes, 2);
    for (const Routed& routed : log.routed) {
        QCOMPARE(routed.handler, Handler::Application);
    }
    QCOMPARE(log.routed[2].command, int(OpenCommand));

    // Exit closes the window.
    QVERIFY(frame->isVisible());
    frame->menuAction(ExitCommand)->trigger();
    QTRY_VERIFY(!frame->isVisible());
}

void MainWindowTest::disabledCommandFromAKeyDoesNothing() {
    AppRig rig;
    QVERIFY(rig.startActive());
    RouteLog log(rig.frame());
    // While the target's acknowledgements are in, "Write Data To Flash ROM" is disabled.
    rig.app->formView()->view().programmingPending = 1;
    QTest::keyClick(rig.frame(), Qt::Key_S);
    QTRY_COMPARE(log.routed.size(), 1);
    QCOMPARE(log.routed[0].command, int(WriteToFlashCommand));
    QCOMPARE(log.routed[0].handler, Handler::Dropped);
    QTest::qWait(20);
    QVERIFY(rig.watcher.boxes.isEmpty());

    // A plain letter acts only without Shift, Ctrl and Alt.
    log.routed.clear();
    QTest::keyClick(rig.frame(), Qt::Key_F, Qt::ShiftModifier);
    QTest::keyClick(rig.frame(), Qt::Key_B, Qt::ControlModifier);
    QTest::qWait(20);
    QVERIFY(log.routed.isEmpty());
}

void MainWindowTest::checkRuleIsDrawnOnIdle() {
    AppRig rig;
    QVERIFY(rig.startActive());
    CMainFrame* frame = rig.frame();
    for (int command : {FlashCommand, AllFlashCommand, WriteCommandCommand}) {
        QVERIFY(!frame->toolbarAction(command)->isChecked());
    }
    rig.app->formView()->view().busy = 1;
    // Nothing else happens: the next idle moment draws the rule.
    runIdleFor(30);
    for (int command : {FlashCommand, AllFlashCommand, WriteCommandCommand}) {
        QVERIFY(frame->toolbarAction(command)->isChecked());
        QVERIFY(buttonOf(frame, command)->isChecked());
    }
    QVERIFY(!frame->toolbarAction(OpenCommand)->isChecked());
    rig.app->formView()->view().busy = 0;
    runIdleFor(30);
    for (int command : {FlashCommand, AllFlashCommand, WriteCommandCommand}) {
        QVERIFY(!frame->toolbarAction(command)->isChecked());
    }
    for (int command : {int(OpenCommand), int(FlashCommand), int(AllFlashCommand),
                        int(WriteCommandCommand), int(AboutCommand)}) {
        QVERIFY(frame->toolbarAction(command)->isEnabled());
    }
}

void MainWindowTest::statusBarPromptsAndTooltips() {
    AppRig rig;
    QVERIFY(rig.startActive());
    CMainFrame* frame = rig.frame();
    QCOMPARE(frame->statusLine(), QStringLiteral("Ready"));

    QToolButton* write = buttonOf(frame, WriteCommandCommand);
    QTest::mouseMove(write);
    QTRY_COMPARE(frame->statusLine(), QStringLiteral("Write command"));
    // F, ALL and W say what each does and how they differ.
    QHelpEvent writeTip(QEvent::ToolTip, write->rect().center(),
                        write->mapToGlobal(write->rect().center()));
    QApplication::sendEvent(write, &writeTip);
    QTRY_VERIFY(QToolTip::isVisible());
    QVERIFY(QToolTip::text().startsWith(QStringLiteral("Write command: ")));
    QVERIFY(QToolTip::text().contains(QStringLiteral("no trigger word")));
    QToolTip::hideText();
    QVERIFY(buttonOf(frame, FlashCommand)->toolTip().contains(QStringLiteral("trigger word")));
    QVERIFY(buttonOf(frame, AllFlashCommand)
                ->toolTip()
                .startsWith(QStringLiteral("All flash: as Flash")));

    QToolButton* open = buttonOf(frame, OpenCommand);
    QTest::mouseMove(open);
    QTRY_COMPARE(frame->statusLine(), QStringLiteral("Open an existing document"));
    QHelpEvent openTip(QEvent::ToolTip, open->rect().center(),
                       open->mapToGlobal(open->rect().center()));
    QApplication::sendEvent(open, &openTip);
    QTRY_VERIFY(QToolTip::isVisible());
    QCOMPARE(QToolTip::text(), QStringLiteral("Open"));
    QToolTip::hideText();

    QTest::mouseMove(frame->formView(), QPoint(5, frame->formView()->height() - 5));
    QTRY_COMPARE(frame->statusLine(), QStringLiteral("Ready"));

    // So does the menu-bar item "&Flash" while the pointer rests on it.
    QMenuBar* bar = frame->menuBar();
    const QRect flashItem = bar->actionGeometry(frame->flashMenu()->menuAction());
    const QPoint onFlash = flashItem.center();
    QMouseEvent pointer(QEvent::MouseMove, onFlash, bar->mapToGlobal(onFlash), Qt::NoButton,
                        Qt::NoButton, Qt::NoModifier);
    QApplication::sendEvent(bar, &pointer);
    QTRY_COMPARE(frame->statusLine(), QStringLiteral("Flash"));
    QEvent leave(QEvent::Leave);
    QApplication::sendEvent(bar, &leave);
    QTRY_COMPARE(frame->statusLine(), QStringLiteral("Ready"));

    // Menu items show their prompts too.
    QCOMPARE(frame->menuAction(OpenCommand)->statusTip(),
             QStringLiteral("Open an existing document"));
    QCOMPARE(frame->menuAction(ExitCommand)->statusTip(), QStringLiteral("Quit the application"));
    QCOMPARE(frame->menuAction(FlashCommand)->statusTip(), QStringLiteral("Flash"));
}

void MainWindowTest::messageBoxesAndTheirCaptions() {
    AppRig rig;
    QVERIFY(rig.startActive());
    const QString missing = rig.path("missing.mot");
    QVERIFY(!rig.app->openDocumentFile(missing));
    QCOMPARE(rig.watcher.texts(), (QStringList{missing + " was not found.", "File Open fail"}));
    for (const SeenBox& box : rig.watcher.boxes) {
        QCOMPARE(box.title, QStringLiteral("Velmora(3062 series)"));
        // Wide enough for the whole title beside a title bar's icon and buttons.
        QVERIFY2(box.width >= box.titleWidth + 4 * box.fontHeight, qPrintable(box.text));
        QCOMPARE(box.icon, QMessageBox::Warning);
        QVERIFY(box.ownedByFrame);
        QVERIFY(box.applicationModal);
    }
    QCOMPARE(rig.frame()->windowTitle(), QStringLiteral("Default - Velmora"));

    rig.watcher.clear();
    QVERIFY(rig.app->openDocumentFile(rig.exampleCopy("blink.mot")));
    QCOMPARE(rig.watcher.texts(),
             QStringList{"Please check file name(upper-left corner) is correct or not!"});
    QCOMPARE(rig.watcher.boxes[0].icon, QMessageBox::Warning);
    // The reminder asks about a caption that already names the new file.
    QCOMPARE(rig.watcher.boxes[0].caption, QStringLiteral("blink.mot - Velmora"));
    QCOMPARE(rig.frame()->windowTitle(), QStringLiteral("blink.mot - Velmora"));
    QCOMPARE(dataReady, 1);

    // The stop icon where the control names it.
    rig.watcher.clear();
    CCorvaneView& view = rig.app->formView()->view();
    view.setUserMode();
    view.setUserMode();
    QCOMPARE(rig.watcher.texts(), QStringList{"User Mode Disabled !"});
    QCOMPARE(rig.watcher.boxes[0].icon, QMessageBox::Critical);
}

void MainWindowTest::openDialogFiltersAndLoad() {
    AppRig rig;
    QVERIFY(rig.startActive());
    const QString file = rig.exampleCopy("chosen.mot");
    rig.watcher.onFileDialog = [file](QFileDialog& dialog) {
        QCOMPARE(dialog.fileMode(), QFileDialog::ExistingFile);
        QCOMPARE(dialog.acceptMode(), QFileDialog::AcceptOpen);
        QCOMPARE(dialog.selectedNameFilter(), QStringLiteral("mot Files (*.mot)"));
        dialog.selectFile(file);
        static_cast<QDialog&>(dialog).accept();
    };
    QTest::keyClick(rig.frame(), Qt::Key_L);
    QTRY_COMPARE(rig.frame()->windowTitle(), QStringLiteral("chosen.mot - Velmora"));
    QCOMPARE(rig.watcher.fileDialogTitle, QStringLiteral("Open"));
    QCOMPARE(rig.watcher.fileDialogFilters, (QStringList{"mot Files (*.mot)", "All Files (*.*)"}));
    QCOMPARE(dataReady, 1);
    QVERIFY(QFile::exists(rig.path("tmp.bin")));
}

void MainWindowTest::newDocumentAndSaveWritesNothing() {
    AppRig rig;
    QVERIFY(rig.startActive());
    const QString file = rig.exampleCopy("blink.mot");
    QVERIFY(rig.app->openDocumentFile(file));
    QVERIFY(rig.activate());
    QFile source(file);
    QVERIFY(source.open(QIODevice::ReadOnly));
    const QByteArray before = source.readAll();
    source.close();
    const QStringList filesBefore = filesIn(rig.work.path());

    QTest::keyClick(rig.frame(), Qt::Key_S, Qt::ControlModifier);
    QTest::qWait(20);
    QVERIFY(source.open(QIODevice::ReadOnly));
    QCOMPARE(source.readAll(), before);
    QCOMPARE(filesIn(rig.work.path()), filesBefore);
    QVERIFY(rig.watcher.boxes.size() == 1); // the reminder only

    QTest::keyClick(rig.frame(), Qt::Key_N, Qt::ControlModifier);
    QTRY_COMPARE(rig.frame()->windowTitle(), QStringLiteral("Default - Velmora"));
    QCOMPARE(dataReady, 0);
    QVERIFY(QFile::exists(rig.path("tmp.bin")));
}

void MainWindowTest::droppedFileIsOpened() {
    AppRig rig;
    QVERIFY(rig.startActive());
    const QString file = rig.exampleCopy("dropped.mot");
    QMimeData data;
    data.setUrls({QUrl::fromLocalFile(file)});
    const QPoint at = rig.frame()->formView()->geometry().center();
    QDragEnterEvent enter(at, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(rig.frame(), &enter);
    QVERIFY(enter.isAccepted());
    QDropEvent drop(at, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(rig.frame(), &drop);
    QTRY_COMPARE(rig.frame()->windowTitle(), QStringLiteral("dropped.mot - Velmora"));
    QCOMPARE(rig.watcher.texts(),
             QStringList{"Please check file name(upper-left corner) is correct or not!"});

    // Text that is no file is refused.
    QMimeData text;
    text.setText(QStringLiteral("hello"));
    QDragEnterEvent refused(at, Qt::CopyAction, &text, Qt::LeftButton, Qt::NoModifier);
    refused.setAccepted(false);
    QApplication::sendEvent(rig.frame(), &refused);
    QVERIFY(!refused.isAccepted());
}

void MainWindowTest::formBackgroundAndPortChooser() {
    AppRig rig;
    QVERIFY(rig.startActive());
    FormView* form = rig.frame()->formView();
    const QImage picture = form->grab().toImage();
    QCOMPARE(picture.pixelColor(picture.width() - 3, picture.height() - 3), QColor(128, 64, 0));
    QCOMPARE(picture.pixelColor(2, picture.height() / 2), QColor(128, 64, 0));

    // The chooser sits where the control did, offers the simulated board and
    // takes a typed device path; its choice is kept in the settings.
    PortChooser& chooser = form->portChooser();
    QVERIFY(chooser.geometry().left() > 0 && chooser.geometry().top() > 0);
    QVERIFY(form->rect().contains(chooser.geometry()));
    QVERIFY(chooser.findData(PortChooser::simulatedChoice()) >= 0);
    QCOMPARE(chooser.itemText(chooser.findData(PortChooser::simulatedChoice())),
             QStringLiteral("Simulated board"));
    chooser.setChoice(QStringLiteral("/dev/ttyUSB7"));
    QCOMPARE(chooser.chosenDevice(), QStringLiteral("/dev/ttyUSB7"));
    chooser.setCurrentIndex(chooser.findData(PortChooser::simulatedChoice()));
    emit chooser.activated(chooser.currentIndex());
    QCOMPARE(chooser.choice(), PortChooser::simulatedChoice());
    QCOMPARE(chooser.taken(), PortChooser::simulatedChoice());
    // Kept for the next start only once a run has used it.
    QVERIFY(settings::open()->value(settings::portChoiceKey()).toString() !=
            PortChooser::simulatedChoice());
    // Done with the chooser, the window's keys are commands again.
    QVERIFY(!chooser.hasFocus());
}

void MainWindowTest::formShowsWhatWillBeProgrammed() {
    AppRig rig;
    QVERIFY(rig.startActive());
    QLabel* summary = rig.frame()->formView()->summaryLabel();
    // Nothing loaded: what to do first.
    QCOMPARE(summary->text(), FormView::firstStepsText());
    QVERIFY(summary->text().contains(QStringLiteral("Load > Open...")));

    // Loaded: shown before the reminder, and kept.
    const QString expected =
        QStringLiteral("Program: blink.mot\n"
                       "Image: 320 bytes, data at 0x00000-0x00127\n"
                       "Written into erase block 0 of 8; a write takes about 0.5 s at 9600 baud");
    QVERIFY(rig.app->openDocumentFile(rig.exampleCopy("blink.mot")));
    QCOMPARE(rig.watcher.boxes.last().summary, expected);
    QCOMPARE(summary->text(), expected);
    QVERIFY(rig.frame()->formView()->height() >=
            rig.frame()->formView()->minimumSizeHint().height());

    // A damaged record: its warning stays under the summary while that file
    // is loaded, also after a load that failed.
    QFile blink(rig.path("blink.mot"));
    QVERIFY(blink.open(QIODevice::ReadOnly));
    QByteArray damaged = blink.readAll();
    blink.close();
    damaged.replace("S1130010FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFEC",
                    "S1130010FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF00");
    const QString damagedPath = rig.path("damaged.mot");
    QFile out(damagedPath);
    QVERIFY(out.open(QIODevice::WriteOnly));
    out.write(damaged);
    out.close();
    QVERIFY(rig.app->openDocumentFile(damagedPath));
    const QStringList lines = summary->text().split(QLatin1Char('\n'));
    QCOMPARE(lines.size(), 4);
    QCOMPARE(lines[0], QStringLiteral("Program: damaged.mot"));
    QVERIFY(lines[3].startsWith(QStringLiteral("Warning: ")));
    QVERIFY(lines[3].contains(QStringLiteral("wrong checksum (first at line 3)")));
    QVERIFY(!rig.app->openDocumentFile(rig.path("missing.mot")));
    QCOMPARE(summary->text().split(QLatin1Char('\n')), lines);
    QVERIFY(rig.app->openDocumentFile(rig.path("blink.mot")));
    QCOMPARE(summary->text(), expected);

    // A new, empty document: what to do first again.
    rig.app->onFileNew();
    QCOMPARE(summary->text(), FormView::firstStepsText());
}

void MainWindowTest::typingADevicePathSendsNoCommands() {
    AppRig rig;
    QVERIFY(rig.startActive());
    RouteLog log(rig.frame());
    PortChooser& chooser = rig.frame()->formView()->portChooser();
    QTest::mouseClick(chooser.lineEdit(), Qt::LeftButton);
    QTRY_VERIFY(chooser.hasFocus());
    chooser.lineEdit()->clear();
    // F, S, B and L are letters here, not commands.
    QTest::keyClicks(chooser.lineEdit(), QStringLiteral("/dev/ttyFSBL"));
    QTest::keyClick(chooser.lineEdit(), Qt::Key_Return);
    QCOMPARE(chooser.choice(), QStringLiteral("/dev/ttyFSBL"));
    QVERIFY(log.routed.isEmpty());
    QVERIFY(rig.watcher.boxes.isEmpty());
    // Taken on Enter and checked: a device that is not there is said so at once.
    QCOMPARE(chooser.taken(), QStringLiteral("/dev/ttyFSBL"));
    QCOMPARE(rig.frame()->statusLine(), QStringLiteral("/dev/ttyFSBL is not on this machine now."));
    // Enter hands the keys back to the window; nothing is kept before a run uses it.
    QTRY_VERIFY(!chooser.hasFocus());
    QVERIFY(settings::open()->value(settings::portChoiceKey()).toString() !=
            QStringLiteral("/dev/ttyFSBL"));
    QTest::keyClick(rig.frame(), Qt::Key_F);
    QTRY_COMPARE(log.routed.size(), 1);
    QCOMPARE(log.routed[0].command, int(FlashCommand));

    // Esc puts the choice taken back, and so does leaving the chooser: a
    // letter typed there never reaches a run.
    QTRY_COMPARE(rig.watcher.boxes.size(), 1);
    QVERIFY(rig.activate());
    QTest::mouseClick(chooser.lineEdit(), Qt::LeftButton);
    QTRY_VERIFY(chooser.hasFocus());
    QTest::keyClick(chooser.lineEdit(), Qt::Key_End);
    QTest::keyClicks(chooser.lineEdit(), QStringLiteral("f"));
    QCOMPARE(chooser.currentText(), QStringLiteral("/dev/ttyFSBL  (not connected)f"));
    QTest::keyClick(chooser.lineEdit(), Qt::Key_Escape);
    QTRY_VERIFY(!chooser.hasFocus());
    QCOMPARE(chooser.choice(), QStringLiteral("/dev/ttyFSBL"));
    QTest::mouseClick(chooser.lineEdit(), Qt::LeftButton);
    QTRY_VERIFY(chooser.hasFocus());
    QTest::keyClicks(chooser.lineEdit(), QStringLiteral("x"));
    rig.frame()->formView()->setFocus(Qt::OtherFocusReason);
    QTRY_COMPARE(chooser.choice(), QStringLiteral("/dev/ttyFSBL"));
    QCOMPARE(PortChooser::problemOf(QString()), QStringLiteral("No serial port is chosen."));
    QVERIFY(PortChooser::problemOf(PortChooser::simulatedChoice()).isEmpty());
}

void MainWindowTest::portChooserByKeyboard() {
    AppRig rig;
    QVERIFY(rig.startActive());
    FormView* form = rig.frame()->formView();
    PortChooser& chooser = form->portChooser();
    QCOMPARE(form->portLabel()->text(), QStringLiteral("&Port:"));
    QCOMPARE(form->portLabel()->buddy(), &chooser);
    QVERIFY(form->hasFocus());

    // Tab reaches the chooser; Esc hands the keys back to the form.
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    QTRY_VERIFY(chooser.hasFocus());
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Escape);
    QTRY_VERIFY(form->hasFocus());
    // So does Alt+P, the label's mnemonic; a choice made with the arrow keys is kept.
    QTest::keyClick(rig.frame(), Qt::Key_P, Qt::AltModifier);
    QTRY_VERIFY(chooser.hasFocus());
    chooser.setChoice(PortChooser::simulatedChoice());
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Down);
    QCOMPARE(chooser.choice(), PortChooser::simulatedFastChoice());
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
    QTRY_VERIFY(form->hasFocus());
    QCOMPARE(chooser.taken(), PortChooser::simulatedFastChoice());
}

void MainWindowTest::portEntriesSayWhatTheyAre() {
    PortInfo usb;
    usb.device = "/dev/ttyUSB0";
    usb.description = "FT232R USB UART";
    usb.manufacturer = "FTDI";
    usb.vendorId = 0x0403;
    usb.productId = 0x6001;
    usb.serialNumber = "A10K3XQ";
    QCOMPARE(
        PortChooser::labelOf(usb),
        QStringLiteral("/dev/ttyUSB0  (FT232R USB UART, FTDI, USB 0403:6001, serial A10K3XQ)"));
    PortInfo bare;
    bare.device = "/dev/ttyS0";
    QCOMPARE(PortChooser::labelOf(bare), QStringLiteral("/dev/ttyS0"));

    // A remembered port that is not here now is listed as such, and still chosen.
    settings::open()->setValue(settings::portChoiceKey(), QStringLiteral("/dev/ttyVELMORA9"));
    AppRig rig;
    QVERIFY(rig.start());
    PortChooser& chooser = rig.frame()->formView()->portChooser();
    QCOMPARE(chooser.currentText(), PortChooser::absentLabel("/dev/ttyVELMORA9"));
    QCOMPARE(chooser.currentText(), QStringLiteral("/dev/ttyVELMORA9  (not connected)"));
    QCOMPARE(chooser.chosenDevice(), QStringLiteral("/dev/ttyVELMORA9"));
    // A device that is there (a pseudo-terminal) is taken as typed.
    chooser.setChoice(QStringLiteral("/dev/null"));
    QCOMPARE(chooser.currentText(), QStringLiteral("/dev/null"));
    QCOMPARE(chooser.itemText(chooser.findData(PortChooser::simulatedFastChoice())),
             QStringLiteral("Simulated board (fast)"));
}

void MainWindowTest::recentFilesInTheLoadMenu() {
    settings::removeAll();
    AppRig rig;
    QVERIFY(rig.startActive());
    QMenu* load = rig.frame()->loadMenu();
    emit load->aboutToShow();
    QCOMPARE(load->actions().size(), 3); // none yet: Open..., separator, Exit
    const QString first = rig.exampleCopy("first.mot");
    const QString second = rig.exampleCopy("second.mot");
    QVERIFY(rig.app->openDocumentFile(first));
    QVERIFY(rig.app->openDocumentFile(second));

    emit load->aboutToShow();
    QList<QAction*> entries = load->actions();
    QCOMPARE(entries.size(), 6);
    QCOMPARE(entries[0]->text(), QStringLiteral("Open..."));
    QVERIFY(entries[1]->isSeparator());
    QVERIFY(entries[2]->text().startsWith(QStringLiteral("&1 ")));
    QVERIFY(entries[2]->text().endsWith(QStringLiteral("second.mot")));
    QVERIFY(entries[3]->text().startsWith(QStringLiteral("&2 ")));
    QCOMPARE(entries[3]->data().toString(), QFileInfo(first).absoluteFilePath());
    QVERIFY(entries[4]->isSeparator());
    QCOMPARE(entries[5]->text(), QStringLiteral("Exit"));

    // Chosen, the older file is loaded again and goes first; the menu is not
    // built twice over.
    entries[3]->trigger();
    QTRY_COMPARE(rig.frame()->windowTitle(), QStringLiteral("first.mot - Velmora"));
    emit load->aboutToShow();
    QCOMPARE(load->actions().size(), 6);
    QCOMPARE(load->actions()[2]->data().toString(), QFileInfo(first).absoluteFilePath());
}

void MainWindowTest::noticesReachTheStatusLineAndTheLog() {
    AppRig rig;
    QVERIFY(rig.startActive());
    QtOperator& op = rig.app->messageOperator();
    RunLog& log = op.log();
    // As the library tells them: the reason first, then the specified message.
    const QString reason = QStringLiteral("Cannot open /dev/ttyUSB3: No such file or directory");
    QString statusWhenShown;
    QTimer::singleShot(0, [&] { statusWhenShown = rig.frame()->statusLine(); });
    op.notify(reason.toStdString(), Notice::Failure);
    op.showMessage("Time out !");
    QCOMPARE(statusWhenShown, reason);
    QCOMPARE(log.entries().size(), 2);
    QCOMPARE(log.entries()[0].kind, RunLog::Kind::Failure);
    QCOMPARE(log.entries()[1].text, QStringLiteral("Time out !"));
    QVERIFY(log.text().contains("failure: " + reason + "\n"));

    // A load with a damaged record: its warning is logged with the load.
    op.notify("line 3: checksum error", Notice::Warning);
    QCOMPARE(log.entries().last().kind, RunLog::Kind::Warning);
    QVERIFY(rig.app->openDocumentFile(rig.exampleCopy("blink.mot")));
    QCOMPARE(rig.frame()->statusLine(), "Load " + rig.path("blink.mot") + ": loaded");
}

void MainWindowTest::transferTexts() {
    using Clock = TransferPace::Clock;
    QCOMPARE(TransferPace::amount(812, 1558), QStringLiteral("812 of 1558 bytes"));
    QCOMPARE(TransferPace::amount(40960, 131072), QStringLiteral("40.0 of 128.0 KiB"));
    QCOMPARE(TransferPace::speed(959.6), QStringLiteral("960 bytes/s"));
    QCOMPARE(TransferPace::speed(12800), QStringLiteral("12.5 KiB/s"));
    QCOMPARE(TransferPace::timeLeft(8.2), QStringLiteral("0:09 left"));
    QCOMPARE(TransferPace::timeLeft(3725), QStringLiteral("1:02:05 left"));

    // The rate over the last seconds: none before a second has passed, then
    // the recent pace, not the whole run's.
    TransferPace pace;
    const Clock::time_point start{};
    pace.sample(start, 0);
    pace.sample(start + std::chrono::milliseconds(900), 900);
    QCOMPARE(pace.text(900, 2000), QStringLiteral("900 of 2000 bytes"));
    for (int second = 1; second <= 4; ++second) {
        pace.sample(start + std::chrono::seconds(second), 1000 * second);
    }
    QCOMPARE(pace.text(4000, 6000),
             QStringLiteral("4000 of 6000 bytes · 1000 bytes/s · 0:02 left"));
    // The line slows to 100 bytes a second: within the window the rate follows.
    for (int second = 5; second <= 12; ++second) {
        pace.sample(start + std::chrono::seconds(second), 4000 + 100 * (second - 4));
    }
    QVERIFY2(pace.rate() > 99 && pace.rate() < 101, qPrintable(QString::number(pace.rate())));
    // A new transfer starts from nothing again.
    pace.sample(start + std::chrono::seconds(13), 0);
    QCOMPARE(pace.rate(), -1.0);
}

VELMORA_APP_TEST_MAIN(MainWindowTest)
#include "main_window_test.moc"
