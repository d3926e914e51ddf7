// Programming runs from the window against simulated boards: a whole Flash
// run with the dialogs' progress followed, Stop and Esc ending a run between
// passes, and the "Simulated board" choice for a write and a boot-mode run.
#include "app/commands.h"
#include "app/form_view.h"
#include "app/port_chooser.h"
#include "app_test_support.h"
#include "sim/simulated_board.h"

#include <QFile>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>
#include <QToolBar>
#include <QToolButton>

using namespace velmora;
using namespace velmora::app;
using namespace velmora::app::testing;
using namespace std::chrono_literals;

namespace {

// An S-record program of `size` bytes from address 0, 16 bytes a record.
QByteArray programOf(int size, std::vector<std::uint8_t>& image) {
    image.clear();
    QByteArray text = "S0030000FC\r\n";
    for (int address = 0; address < size; address += 16) {
        QByteArray record;
        unsigned sum = 0;
        auto put = [&](unsigned byte) {
            record += QByteArray::number(byte, 16).rightJustified(2, '0').toUpper();
            sum += byte;
        };
        record += "S1";
        put(16 + 3);
        put(static_cast<unsigned>(address) >> 8);
        put(static_cast<unsigned>(address) & 0xFF);
        for (int i = 0; i < 16; ++i) {
            const auto byte = static_cast<std::uint8_t>((address + i) * 7 + 3);
            image.push_back(byte);
            put(byte);
        }
        put(~sum & 0xFF);
        text += record + "\r\n";
    }
    text += "S9030000FC\r\n";
    return text;
}

void writeBytes(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(bytes);
}

QToolButton* buttonOf(CMainFrame* frame, int command) {
    return qobject_cast<QToolButton*>(
        frame->toolBar()->widgetForAction(frame->toolbarAction(command)));
}

QList<SeenProgress> progressOf(const QList<SeenProgress>& all, const QString& caption) {
    QList<SeenProgress> result;
    for (const auto& seen : all) {
        if (seen.caption == caption) {
            result << seen;
        }
    }
    return result;
}

const QString success = QStringLiteral("Porgramming successfully !");

} // namespace

class ProgrammingRunTest : public QObject {
    Q_OBJECT
private slots:
    void flashRunFromTheToolbarShowsItsProgress();
    void acknowledgementsAreTakenWhenTheyArrive();
    void stopEndsTheResponseWait();
    void escEndsTheProgrammingTransfer();
    void simulatedBoardChoiceWritesAndProgramsInBootMode();
};

void ProgrammingRunTest::flashRunFromTheToolbarShowsItsProgress() {
    AppRig rig;
    BoardOptions options;
    options.replyDelay = 2ms; // each answer takes a moment: the run spans several slices
    SimulatedBoard board(options);
    QVERIFY2(board.start(), board.lastError().c_str());
    QVERIFY(rig.startActive());
    std::vector<std::uint8_t> image;
    writeBytes(rig.path("large.mot"), programOf(4096, image));
    QVERIFY(rig.app->openDocumentFile(rig.path("large.mot")));
    // A typed device path: the board's pseudo-terminal.
    rig.frame()->formView()->portChooser().setChoice(QString::fromStdString(board.devicePath()));
    rig.watcher.clear();

    QTest::mouseClick(buttonOf(rig.frame(), FlashCommand), Qt::LeftButton);
    QCOMPARE(rig.watcher.texts(), QStringList{success});
    QCOMPARE(rig.watcher.boxes[0].icon, QMessageBox::Information);
    QCOMPARE(rig.watcher.dialogCaptions,
             (QStringList{"Waiting for System Response ...", "Waiting for System Response ...",
                          "Programming ....."}));

    const QList<SeenProgress> waits =
        progressOf(rig.watcher.progress, "Waiting for System Response ...");
    QVERIFY(!waits.isEmpty());
    QVERIFY(waits.first().status.startsWith("Parsing... "));
    const QList<SeenProgress> transfer = progressOf(rig.watcher.progress, "Programming .....");
    QVERIFY(transfer.size() >= 3);
    QCOMPARE(transfer.first().status, QStringLiteral("0 %"));
    QCOMPARE(transfer.last().status, QStringLiteral("100 %"));
    QCOMPARE(transfer.last().maximum, 4096);
    QCOMPARE(transfer.last().value, 4096);
    bool between = false;
    for (int i = 1; i < transfer.size(); ++i) {
        QVERIFY(transfer[i].value >= transfer[i - 1].value);
        between = between || (transfer[i].value > 0 && transfer[i].value < 4096);
    }
    QVERIFY2(between, "no progress was shown between the start and the end");
    // The dialogs were painted while they ran, not only once at the end.
    QVERIFY(rig.watcher.dialogPaints >= transfer.size());
    // The F button was drawn pressed while the run was under way, and is not now.
    QVERIFY(transfer.last().flashChecked);
    runIdleFor(20);
    QVERIFY(!rig.frame()->toolbarAction(FlashCommand)->isChecked());

    QVERIFY(board.waitForCompletedWrites(1, 5s));
    const std::vector<std::uint8_t> flash = board.flash();
    QVERIFY(std::equal(image.begin(), image.end(), flash.begin()));
    const BoardSummary seen = board.summary();
    QCOMPARE(QString::fromStdString(seen.messages.front().kind), QStringLiteral("trigger word"));
    QVERIFY(QFile::exists(rig.path("Recv.bin")));
}

void ProgrammingRunTest::acknowledgementsAreTakenWhenTheyArrive() {
    AppRig rig;
    // Ticks so long that an acknowledgement taken only on the next tick would
    // hold each wait for twenty seconds.
    rig.options.timing.tick = 20s;
    SimulatedBoard board;
    QVERIFY2(board.start(), board.lastError().c_str());
    QVERIFY(rig.startActive());
    std::vector<std::uint8_t> image;
    writeBytes(rig.path("small.mot"), programOf(256, image));
    QVERIFY(rig.app->openDocumentFile(rig.path("small.mot")));
    rig.frame()->formView()->portChooser().setChoice(QString::fromStdString(board.devicePath()));
    rig.watcher.clear();

    const auto started = std::chrono::steady_clock::now();
    QTest::mouseClick(buttonOf(rig.frame(), FlashCommand), Qt::LeftButton);
    QCOMPARE(rig.watcher.texts(), QStringList{success});
    QVERIFY(std::chrono::steady_clock::now() - started < rig.options.timing.tick);
    for (const auto& seen : progressOf(rig.watcher.progress, "Waiting for System Response ...")) {
        // At most the empty pass at start-up was counted.
        QVERIFY2(seen.status == "Parsing... 00" || seen.status == "Parsing... 01",
                 qPrintable(seen.status));
    }
}

void ProgrammingRunTest::stopEndsTheResponseWait() {
    AppRig rig;
    rig.options.timing.tick = 20ms; // a time-out of 3 s, far behind the Stop
    BoardOptions options;
    options.silent = true;
    SimulatedBoard board(options);
    QVERIFY(board.start());
    QVERIFY(rig.startActive());
    QVERIFY(rig.app->openDocumentFile(rig.exampleCopy("blink.mot")));
    rig.frame()->formView()->portChooser().setChoice(QString::fromStdString(board.devicePath()));
    rig.watcher.clear();
    rig.watcher.onExchange = [](ExchangeDialog& dialog) {
        QVERIFY(dialog.stopButton());
        QCOMPARE(dialog.stopButton()->text(), QStringLiteral("Stop"));
        QPointer<QPushButton> stop = dialog.stopButton();
        QTimer::singleShot(100, stop, [stop] { QTest::mouseClick(stop, Qt::LeftButton); });
    };
    QVERIFY(rig.activate());
    QTest::keyClick(rig.frame(), Qt::Key_F);
    QCOMPARE(rig.watcher.dialogCaptions, QStringList{"Waiting for System Response ..."});
    // Stopped, not timed out: no "Time out !", only the command's message.
    QCOMPARE(rig.watcher.texts(), QStringList{"System not Ready(A) !"});
    const QList<SeenProgress> waits = rig.watcher.progress;
    QVERIFY(waits.size() >= 2);
    QVERIFY(waits.last().status != QStringLiteral("Parsing... 00"));
    QCOMPARE(rig.app->formView()->view().busy, 0);
}

void ProgrammingRunTest::escEndsTheProgrammingTransfer() {
    AppRig rig;
    BoardOptions options;
    options.replyDelay = 10ms;
    SimulatedBoard board(options);
    QVERIFY(board.start());
    QVERIFY(rig.startActive());
    std::vector<std::uint8_t> image;
    writeBytes(rig.path("large.mot"), programOf(8192, image));
    QVERIFY(rig.app->openDocumentFile(rig.path("large.mot")));
    rig.frame()->formView()->portChooser().setChoice(QString::fromStdString(board.devicePath()));
    rig.watcher.clear();
    rig.watcher.onExchange = [](ExchangeDialog& dialog) {
        if (dialog.windowTitle() != QStringLiteral("Programming .....")) {
            return;
        }
        QPointer<ExchangeDialog> running = &dialog;
        QTimer::singleShot(80, running, [running] { QTest::keyClick(running, Qt::Key_Escape); });
    };
    QTest::mouseClick(buttonOf(rig.frame(), AllFlashCommand), Qt::LeftButton);
    QCOMPARE(rig.watcher.texts(), QStringList{"Programming Data Error. Please try again !"});
    const QList<SeenProgress> transfer = progressOf(rig.watcher.progress, "Programming .....");
    QVERIFY(!transfer.isEmpty());
    QVERIFY(transfer.last().value < 8192);
    // All flash sent its own trigger word, and the board never got the whole image.
    QVERIFY(board.waitForEndedWrites(1, 5s) || board.summary().completedWrites == 0);
    QCOMPARE(board.summary().completedWrites, 0);
}

void ProgrammingRunTest::simulatedBoardChoiceWritesAndProgramsInBootMode() {
    AppRig rig;
    QVERIFY(rig.startActive());
    QVERIFY(rig.app->openDocumentFile(rig.exampleCopy("blink.mot")));
    PortChooser& chooser = rig.frame()->formView()->portChooser();
    chooser.setChoice(PortChooser::simulatedChoice());
    rig.watcher.clear();

    // "Write command": a board already in its reflash mode, started for the run.
    QTest::mouseClick(buttonOf(rig.frame(), WriteCommandCommand), Qt::LeftButton);
    QCOMPARE(rig.watcher.texts(), QStringList{success});

    // "Flash Action Setting" (key B): the chip's boot mode, the boot download
    // and both writes.
    QByteArray bootProgram(1558, '\0');
    for (int i = 0; i < bootProgram.size(); ++i) {
        bootProgram[i] = static_cast<char>(i * 13 + 1);
    }
    writeBytes(rig.path("boot/3062f.bin"), bootProgram);
    writeBytes(rig.path("boot/PreFlash.bin"), QByteArray(1024, '\x5A'));
    rig.watcher.clear();
    QVERIFY(rig.activate());
    QTest::keyClick(rig.frame(), Qt::Key_B);
    QCOMPARE(rig.watcher.texts(), QStringList{success});
    QVERIFY(rig.watcher.dialogCaptions.contains("Boot mode Download ....."));
    const QList<SeenProgress> download =
        progressOf(rig.watcher.progress, "Boot mode Download .....");
    QVERIFY(!download.isEmpty());
    QCOMPARE(download.last().status, QStringLiteral("100 %"));
    QCOMPARE(download.last().value, download.last().maximum);
    QCOMPARE(rig.watcher.dialogCaptions.count("Programming ....."), 2);
}

VELMORA_APP_TEST_MAIN(ProgrammingRunTest)
#include "programming_run_test.moc"
