// Programming runs from the window against simulated boards: a whole Flash
// run with the dialogs' progress followed and logged, the bytes, rate and
// time left against a board paced at the line rate, Stop and Esc ending a
// run between passes (said as such), the simulated board choices for a
// write and a boot-mode run with its stages, and the boot files folder.
#include "app/commands.h"
#include "app/form_view.h"
#include "app/port_chooser.h"
#include "app/run_log.h"
#include "app/settings_dialog.h"
#include "app_test_support.h"
#include "sim/simulated_board.h"
#include "support/pty_peer.h"
#include "support/srec_text.h"

#include <QFile>
#include <QFileInfo>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QToolBar>
#include <QToolButton>
#include <fcntl.h>
#include <memory>
#include <sys/file.h>
#include <unistd.h>

using namespace velmora;
using namespace velmora::app;
using namespace velmora::app::testing;
using namespace std::chrono_literals;

namespace {

// An S-record program of `size` bytes from address 0, and its image.
QByteArray programOf(int size, std::vector<std::uint8_t>& image) {
    auto byteAt = [](std::uint32_t address) { return static_cast<std::uint8_t>(address * 7 + 3); };
    image.clear();
    for (int address = 0; address < size; ++address) {
        image.push_back(byteAt(static_cast<std::uint32_t>(address)));
    }
    return QByteArray::fromStdString(
        velmora::testing::programText(static_cast<std::uint32_t>(size), byteAt));
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

// A board for the run on its own pseudo-terminal. It takes what comes with a
// change of settings at any rate: the window's run does not wait for a board it
// did not start to take each change in, and a busy machine can hold the
// board's thread past the trigger word and the reopening at 9600.
BoardOptions boardOptions() {
    BoardOptions options;
    options.strictRates = false;
    return options;
}

// The log's entries from the last run on, as "kind: text".
QStringList lastRunOf(const RunLog& log) {
    QStringList lines;
    for (const RunLog::Entry& entry : log.entries()) {
        if (entry.kind == RunLog::Kind::Run) {
            lines.clear();
        }
        const char* kinds[] = {"run", "message", "failure", "warning", "information", "outcome"};
        lines << QString::fromLatin1(kinds[static_cast<int>(entry.kind)]) + ": " + entry.text;
    }
    return lines;
}

} // namespace

class ProgrammingRunTest : public QObject {
    Q_OBJECT
private slots:
    void flashRunFromTheToolbarShowsItsProgress();
    void acknowledgementsAreTakenWhenTheyArrive();
    void stopEndsTheResponseWait();
    void stopEndsTheProgrammingTransfer();
    void pacedRehearsalShowsBytesRateAndTimeLeft();
    void simulatedBoardChoiceWritesAndProgramsInBootMode();
    void bootFilesFolderIsSetAndNamedInItsErrors();
    void aPortThatCannotBeOpenedIsNamedBeforeTheFailureBox();
};

void ProgrammingRunTest::flashRunFromTheToolbarShowsItsProgress() {
    AppRig rig;
    BoardOptions options = boardOptions();
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
    // Under the specified text, what was done: file, bytes, port, time.
    QVERIFY2(
        QRegularExpression("^Programmed large\\.mot: 4096 bytes on " +
                           QRegularExpression::escape(QString::fromStdString(board.devicePath())) +
                           " in \\d+\\.\\d s\\.$")
            .match(rig.watcher.boxes[0].detail)
            .hasMatch(),
        qPrintable(rig.watcher.boxes[0].detail));
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
    // The port the run went out on is the one kept for the next start.
    QCOMPARE(settings::open()->value(settings::portChoiceKey()).toString(),
             QString::fromStdString(board.devicePath()));

    // The log keeps the run, its port, its message and its outcome; the status
    // line keeps the result; the log pane shows it (and hides from the View
    // menu) and saves it as text.
    const QString run = "Flash on " + QString::fromStdString(board.devicePath());
    RunLog& log = rig.app->messageOperator().log();
    // The run's last line: the result with the bytes each way and the time
    // to the result, read from the run's record.
    const QStringList lines = lastRunOf(log);
    QCOMPARE(lines.mid(0, 2), (QStringList{"run: " + run, "message: " + success}));
    QCOMPARE(lines.size(), 3);
    const QRegularExpression outcome(
        "^programmed: (\\d+) bytes sent, (\\d+) received in \\d+\\.\\d s$");
    const QString ended = lines[2].mid(QStringLiteral("outcome: ").size());
    const auto counts = outcome.match(ended);
    QVERIFY2(counts.hasMatch(), qPrintable(lines[2]));
    // The trigger word, command block, size message, 32 blocks of 129 and the closing message.
    QCOMPARE(counts.captured(1).toInt(), 7 + 34 + 8 + 32 * 129 + 2);
    QCOMPARE(rig.frame()->statusLine(), run + ": " + ended);
    QVERIFY(rig.frame()->viewMenu());
    QVERIFY(rig.app->logPane() && rig.app->logPane()->isVisible());
    rig.frame()->viewMenu()->actions().first()->trigger();
    QVERIFY(!rig.app->logPane()->isVisible());
    rig.frame()->viewMenu()->actions().first()->trigger();
    QVERIFY(rig.app->logPane()->isVisible());
    const QString shown = rig.app->logPane()->view()->toPlainText();
    QVERIFY(shown.contains(
        QRegularExpression("\\d\\d:\\d\\d:\\d\\d  " + QRegularExpression::escape(run))));
    QVERIFY(shown.contains(success));
    QVERIFY(log.saveAs(rig.path("log.txt")));
    QFile saved(rig.path("log.txt"));
    QVERIFY(saved.open(QIODevice::ReadOnly));
    QCOMPARE(QString::fromUtf8(saved.readAll()), log.text());
    QVERIFY(!log.saveAs(rig.path("no/such/folder/log.txt")));
    // Saved through a link, the file it names gets the text; the link stays.
    QVERIFY(QFile::link(rig.path("log.txt"), rig.path("latest.txt")));
    QVERIFY(log.saveAs(rig.path("latest.txt")));
    QVERIFY(QFileInfo(rig.path("latest.txt")).isSymLink());
    QFile through(rig.path("log.txt"));
    QVERIFY(through.open(QIODevice::ReadOnly));
    QCOMPARE(QString::fromUtf8(through.readAll()), log.text());
}

void ProgrammingRunTest::acknowledgementsAreTakenWhenTheyArrive() {
    AppRig rig;
    // Ticks so long that an acknowledgement taken only on the next tick would
    // hold each wait for twenty seconds.
    rig.options.timing.tick = 20s;
    SimulatedBoard board(boardOptions());
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
    rig.options.timing.tick = 20ms; // a time-out of 3 s, far behind the Esc
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
        // Esc once the wait has counted a tick, from the dialog's own loop.
        QPointer<ExchangeDialog> running = &dialog;
        auto pressed = std::make_shared<bool>(false);
        QObject::connect(&dialog, &ExchangeDialog::progressShown, &dialog,
                         [running, pressed](const QString& status, int, int) {
                             if (*pressed || status == QStringLiteral("Parsing... 00")) {
                                 return;
                             }
                             *pressed = true;
                             QTimer::singleShot(0, running, [running] {
                                 QTest::keyClick(running, Qt::Key_Escape);
                             });
                         });
    };
    QVERIFY(rig.activate());
    QTest::keyClick(rig.frame(), Qt::Key_F);
    QCOMPARE(rig.watcher.dialogCaptions, QStringList{"Waiting for System Response ..."});
    // Stopped, not timed out: no "Time out !", only the command's message,
    // and "Stopped." said before it.
    QCOMPARE(rig.watcher.texts(), QStringList{"System not Ready(A) !"});
    const QList<SeenProgress> waits = rig.watcher.progress;
    QVERIFY(waits.size() >= 2);
    QVERIFY(waits.last().status != QStringLiteral("Parsing... 00"));
    QCOMPARE(rig.app->formView()->view().busy, 0);
    const QStringList run = lastRunOf(rig.app->messageOperator().log());
    QCOMPARE(run.mid(1, 2),
             (QStringList{"information: Stopped.", "message: System not Ready(A) !"}));
    QVERIFY2(run.value(3).startsWith("outcome: stopped by the operator at command block: "),
             qPrintable(run.value(3)));
    // The box keeps its text; under it the stop is named as such.
    QVERIFY2(rig.watcher.boxes[0].detail.contains("Stopped by the operator."),
             qPrintable(rig.watcher.boxes[0].detail));
}

void ProgrammingRunTest::stopEndsTheProgrammingTransfer() {
    AppRig rig;
    BoardOptions options = boardOptions();
    options.replyDelay = 10ms;
    SimulatedBoard board(options);
    QVERIFY(board.start());
    QVERIFY(rig.startActive());
    std::vector<std::uint8_t> image;
    writeBytes(rig.path("large.mot"), programOf(8192, image));
    QVERIFY(rig.app->openDocumentFile(rig.path("large.mot")));
    rig.frame()->formView()->portChooser().setChoice(QString::fromStdString(board.devicePath()));
    rig.watcher.clear();
    QString statusWhenTold;
    rig.watcher.onExchange = [&rig, &statusWhenTold](ExchangeDialog& dialog) {
        if (dialog.windowTitle() != QStringLiteral("Programming .....")) {
            return;
        }
        // A Stop button the operator can see, on the transfer itself.
        QVERIFY(dialog.stopButton() && dialog.stopButton()->isVisible());
        // Stop pressed once the first block has gone out, from the dialog's own loop.
        QPointer<QPushButton> stop = dialog.stopButton();
        auto pressed = std::make_shared<bool>(false);
        QObject::connect(&dialog, &ExchangeDialog::progressShown, &dialog,
                         [stop, pressed](const QString&, int value, int) {
                             if (*pressed || value == 0) {
                                 return;
                             }
                             *pressed = true;
                             QTimer::singleShot(
                                 0, stop, [stop] { QTest::mouseClick(stop, Qt::LeftButton); });
                         });
        // What the status line reads when the failure message comes up.
        QObject::connect(&rig.app->messageOperator().log(), &RunLog::entryAdded, &dialog,
                         [&rig, &statusWhenTold](const RunLog::Entry& entry) {
                             if (entry.kind == RunLog::Kind::Message) {
                                 statusWhenTold = rig.frame()->statusLine();
                             }
                         });
    };
    QTest::mouseClick(buttonOf(rig.frame(), AllFlashCommand), Qt::LeftButton);
    QCOMPARE(rig.watcher.texts(), QStringList{"Programming Data Error. Please try again !"});
    const QList<SeenProgress> transfer = progressOf(rig.watcher.progress, "Programming .....");
    QVERIFY(!transfer.isEmpty());
    QVERIFY(transfer.last().value < 8192);
    // All flash sent its own trigger word, and the board never got the whole
    // image: once it has taken every byte the run sent, no write has completed.
    const long long sent = rig.app->formView()->view().lastRun().bytesSent;
    QVERIFY(sent > 0);
    QVERIFY(board.waitFor(
        [sent](const BoardSummary& seen) {
            return static_cast<long long>(seen.bytesReceived) >= sent;
        },
        5s));
    QCOMPARE(board.summary().completedWrites, 0);
    // The stop is said before the specified message, which stays as it is.
    const QStringList run = lastRunOf(rig.app->messageOperator().log());
    QCOMPARE(run.mid(1, 2), (QStringList{"information: Stopped.",
                                         "message: Programming Data Error. Please try again !"}));
    QVERIFY2(rig.frame()->statusLine().startsWith("All flash on " +
                                                  QString::fromStdString(board.devicePath()) +
                                                  ": stopped by the operator at block "),
             qPrintable(rig.frame()->statusLine()));
    const QString detail = rig.watcher.boxes[0].detail;
    QVERIFY2(detail.contains("Stopped by the operator."), qPrintable(detail));
    QVERIFY2(detail.contains("partly written"), qPrintable(detail));
}

void ProgrammingRunTest::pacedRehearsalShowsBytesRateAndTimeLeft() {
    AppRig rig;
    QVERIFY(rig.startActive());
    std::vector<std::uint8_t> image;
    writeBytes(rig.path("paced.mot"), programOf(2048, image));
    QVERIFY(rig.app->openDocumentFile(rig.path("paced.mot")));
    // The chooser's "Simulated board" keeps a real line's pace.
    rig.frame()->formView()->portChooser().setChoice(PortChooser::simulatedChoice());
    rig.watcher.clear();
    int barWidth = 0;
    bool textsFit = true;
    rig.watcher.onExchange = [&barWidth, &textsFit](ExchangeDialog& dialog) {
        if (dialog.progressBar()) {
            barWidth = dialog.progressBar()->width();
        }
        QFont bold = dialog.font();
        bold.setBold(true);
        textsFit = textsFit &&
                   dialog.width() >= QFontMetrics(bold).horizontalAdvance(dialog.windowTitle()) +
                                         4 * dialog.fontMetrics().height();
        QObject::connect(&dialog, &ExchangeDialog::progressShown, &dialog,
                         [&dialog, &textsFit](const QString&, int, int) {
                             for (QLabel* label : dialog.findChildren<QLabel*>()) {
                                 textsFit = textsFit && label->sizeHint().width() <= label->width();
                             }
                         });
    };
    QTest::mouseClick(buttonOf(rig.frame(), FlashCommand), Qt::LeftButton);
    QCOMPARE(rig.watcher.texts(), QStringList{success});
    // A bar with room for every percent; no text cut.
    QVERIFY2(barWidth >= 100 + 20, qPrintable(QString::number(barWidth)));
    QVERIFY(textsFit);

    const QList<SeenProgress> transfer = progressOf(rig.watcher.progress, "Programming .....");
    QCOMPARE(transfer.first().details, QStringLiteral("0 of 2048 bytes"));
    QCOMPARE(transfer.last().details.section(QStringLiteral(" · "), 0, 0),
             QStringLiteral("2048 of 2048 bytes"));
    const QRegularExpression running(
        "^(\\d+) of 2048 bytes · (\\d+) bytes/s · (\\d+):(\\d\\d) left$");
    int rated = 0;
    for (const SeenProgress& seen : transfer) {
        const auto match = running.match(seen.details);
        if (!match.hasMatch()) {
            continue;
        }
        ++rated;
        // 9600 baud moves at most 960 bytes a second; the rate, taken over at
        // least a second, cannot beat the line by more than the one block the
        // position leads it by.
        const int rate = match.captured(2).toInt();
        QVERIFY2(rate > 0 && rate <= 960 + 128, qPrintable(seen.details));
        const int left = match.captured(3).toInt() * 60 + match.captured(4).toInt();
        const int remaining = 2048 - match.captured(1).toInt();
        QVERIFY2(left >= remaining / 960, qPrintable(seen.details));
    }
    QVERIFY2(rated > 0, "no rate and time left were shown");
}

void ProgrammingRunTest::simulatedBoardChoiceWritesAndProgramsInBootMode() {
    AppRig rig;
    QVERIFY(rig.startActive());
    QVERIFY(rig.app->openDocumentFile(rig.exampleCopy("blink.mot")));
    PortChooser& chooser = rig.frame()->formView()->portChooser();
    chooser.setChoice(PortChooser::simulatedFastChoice());
    rig.watcher.clear();

    // "Write command": a board already in its reflash mode, started for the run.
    QTest::mouseClick(buttonOf(rig.frame(), WriteCommandCommand), Qt::LeftButton);
    QCOMPARE(rig.watcher.texts(), QStringList{success});

    // "Flash Action Setting" (key B): the chip's boot mode, the boot download
    // and both writes; short boot files, as each byte of the download waits
    // for its echo and a write's close waits out its line time.
    QByteArray bootProgram(200, '\0');
    for (int i = 0; i < bootProgram.size(); ++i) {
        bootProgram[i] = static_cast<char>(i * 13 + 1);
    }
    writeBytes(rig.path("boot/3062f.bin"), bootProgram);
    writeBytes(rig.path("boot/PreFlash.bin"), QByteArray(128, '\x5A'));
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
    // Each transfer of the run says which stage it is.
    QStringList stages;
    for (const SeenProgress& seen : rig.watcher.progress) {
        if (!seen.stage.isEmpty() && (stages.isEmpty() || stages.last() != seen.stage)) {
            stages << seen.stage;
        }
    }
    QCOMPARE(stages,
             (QStringList{"Step 1 of 3: the boot program (3062f.bin)", "Step 2 of 3: PreFlash.bin",
                          "Step 3 of 3: the program (tmp.bin)"}));
}

void ProgrammingRunTest::bootFilesFolderIsSetAndNamedInItsErrors() {
    AppRig rig;
    QVERIFY(rig.startActive());
    QVERIFY(rig.app->openDocumentFile(rig.exampleCopy("blink.mot")));
    rig.frame()->formView()->portChooser().setChoice(PortChooser::simulatedFastChoice());
    const QString folder = rig.path("elsewhere");
    QVERIFY(QDir().mkpath(folder));
    // Chosen in the settings dialog from the View menu.
    const QString defaultFolder = rig.path("boot");
    whenModal<SettingsDialog>([folder, defaultFolder](SettingsDialog* dialog) {
        QVERIFY(dialog);
        QCOMPARE(dialog->bootDirEdit()->placeholderText(), defaultFolder);
        dialog->bootDirEdit()->setText(folder);
        dialog->accept();
    });
    rig.frame()->viewMenu()->actions().at(1)->trigger();
    QCOMPARE(QString::fromStdString(rig.app->formView()->bootDir().string()), folder);
    QCOMPARE(settings::open()->value(settings::bootDirKey()).toString(), folder);

    // The folder holds no boot program: the error says where it looked, and why.
    rig.watcher.clear();
    QVERIFY(rig.activate());
    QTest::keyClick(rig.frame(), Qt::Key_B);
    QVERIFY(!rig.watcher.boxes.isEmpty());
    QCOMPARE(rig.watcher.boxes[0].text, QStringLiteral("3062f.bin File Read Error !"));
    const QString reason = folder + "/3062f.bin: No such file or directory";
    QCOMPARE(rig.watcher.boxes[0].detail, reason);
    // The command's own box after it says what to do, without repeating the reason alone.
    QCOMPARE(rig.watcher.boxes.value(1).text, QStringLiteral("Boot Mode Setting Failed"));
    QVERIFY(!rig.watcher.boxes[1].detail.isEmpty());
    QVERIFY(rig.watcher.boxes[1].detail != reason);
    const QStringList run = lastRunOf(rig.app->messageOperator().log());
    QVERIFY(run.indexOf("failure: " + reason) >= 0);
    QVERIFY(run.indexOf("failure: " + reason) <
            run.indexOf("message: 3062f.bin File Read Error !"));

    // Kept for the next start; an empty choice goes back to the default.
    AppRig next;
    QVERIFY(next.start());
    QCOMPARE(QString::fromStdString(next.app->formView()->bootDir().string()), folder);
    QVERIFY(next.app->setBootDir(QString()));
    QCOMPARE(QString::fromStdString(next.app->formView()->bootDir().string()), next.path("boot"));
    QVERIFY(!settings::open()->contains(settings::bootDirKey()));
}

void ProgrammingRunTest::aPortThatCannotBeOpenedIsNamedBeforeTheFailureBox() {
    AppRig rig;
    // A device that is there but held by another open with an exclusive lock,
    // as another program holding the port keeps it.
    velmora::testing::PtyPeer peer;
    QVERIFY(peer.ok());
    const int holder = ::open(peer.devicePath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    QVERIFY(holder >= 0);
    QCOMPARE(::flock(holder, LOCK_EX | LOCK_NB), 0);
    QVERIFY(rig.startActive());
    QVERIFY(rig.app->openDocumentFile(rig.exampleCopy("blink.mot")));

    const QString missing = QStringLiteral("/dev/ttyVELMORA9");
    const QString busy = QString::fromStdString(peer.devicePath());
    const QList<QPair<QString, QString>> cases{
        {missing, "Cannot open " + missing + ": No such file or directory"},
        {busy, busy + " is in use by another program"}};
    for (const auto& [device, reason] : cases) {
        rig.frame()->formView()->portChooser().setChoice(device);
        rig.watcher.clear();
        const auto pressed = std::chrono::steady_clock::now();
        QVERIFY(rig.activate()); // the load's box had the focus
        QTest::keyClick(rig.frame(), Qt::Key_F);
        QTRY_COMPARE_WITH_TIMEOUT(rig.watcher.boxes.size(), qsizetype(1), 5000);
        // No time-out was waited for: the open failed at once.
        QVERIFY(std::chrono::steady_clock::now() - pressed < 1s);
        const SeenBox& box = rig.watcher.boxes[0];
        QCOMPARE(box.text, QStringLiteral("System not Ready(A) !"));
        // The reason was on the status line while the box was up, and the log
        // has it before the specified message.
        QVERIFY2(box.statusLine.startsWith(reason), qPrintable(box.statusLine));
        const QStringList run = lastRunOf(rig.app->messageOperator().log());
        QCOMPARE(run.value(0), "run: Flash on " + device);
        QVERIFY2(run.value(1).startsWith("failure: " + reason), qPrintable(run.join('|')));
        QCOMPARE(run.value(2), QStringLiteral("message: System not Ready(A) !"));
        // The box names the reason and what to do under its own text.
        QVERIFY2(box.detail.contains(reason), qPrintable(box.detail));
        QVERIFY2(box.detail.count(QLatin1Char('\n')) >= 1, qPrintable(box.detail));
        QVERIFY2(run.value(3).startsWith("outcome: failed at opening the port (" + reason),
                 qPrintable(run.value(3)));
    }
    ::close(holder);
}

VELMORA_APP_TEST_MAIN(ProgrammingRunTest)
#include "programming_run_test.moc"
