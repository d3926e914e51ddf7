#include "app/qt_operator.h"

#include "app/commands.h"
#include "app/exchange_dialog.h"
#include "control/run_hints.h"

#include <QGridLayout>
#include <QMessageBox>
#include <algorithm>

namespace velmora::app {

namespace {

QMessageBox::Icon boxIcon(Icon icon) {
    switch (icon) {
    case Icon::Information:
        return QMessageBox::Information;
    case Icon::Stop:
        return QMessageBox::Critical;
    case Icon::Warning:
        break;
    }
    return QMessageBox::Warning;
}

// Which stage of a boot-mode run an exchange is, by where the run's record
// stands: the boot program, then PreFlash.bin, then the program.
QString stageOf(const RunRecord* record) {
    if (!record || record->command != RunCommand::SetBootMode) {
        return {};
    }
    if (record->stage == RunStage::BootDownload) {
        return QStringLiteral("Step 1 of 3: the boot program (3062f.bin)");
    }
    if (record->stage == RunStage::Block) {
        return record->imageSent == "PreFlash.bin"
                   ? QStringLiteral("Step 2 of 3: PreFlash.bin")
                   : QStringLiteral("Step 3 of 3: the program (tmp.bin)");
    }
    return {};
}

QString fromView(std::string_view text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

} // namespace

int titleRoom(const QWidget& window) {
    QFont captionFont = window.font();
    captionFont.setBold(true);
    return QFontMetrics(captionFont).horizontalAdvance(window.windowTitle()) +
           5 * window.fontMetrics().height();
}

std::unique_ptr<QMessageBox> makeMessageBox(QWidget* owner, const QString& text, Icon icon,
                                            const QString& detail) {
    auto box = std::make_unique<QMessageBox>(boxIcon(icon), applicationName(), text,
                                             QMessageBox::Ok, owner);
    // Modal to the whole program, also while the owner is hidden (a print request).
    box->setWindowModality(Qt::ApplicationModal);
    if (!detail.isEmpty()) {
        box->setInformativeText(detail);
    }
    // A short text would make the box narrower than its title: a strut across
    // the box's grid keeps the whole title readable.
    // A detail (a path, say) gets room for one line of up to 70 characters.
    int room = titleRoom(*box);
    if (!detail.isEmpty()) {
        const QFontMetrics metrics = box->fontMetrics();
        const int line =
            std::min(metrics.horizontalAdvance(detail), 70 * metrics.averageCharWidth());
        room = std::max(room, line + 8 * metrics.height());
    }
    if (auto* grid = qobject_cast<QGridLayout*>(box->layout())) {
        grid->addItem(new QSpacerItem(room, 0, QSizePolicy::Fixed, QSizePolicy::Fixed),
                      grid->rowCount(), 0, 1, grid->columnCount());
    }
    return box;
}

QString runOutcome(const RunRecord& record, const QDateTime& resultShown) {
    QString text = QString::fromUtf8(resultName(record.result).data(),
                                     static_cast<qsizetype>(resultName(record.result).size()));
    if (record.result == RunResult::Stopped) {
        text += QStringLiteral(" by the operator");
    }
    if (!record.succeeded() && record.stage != RunStage::None &&
        record.stage != RunStage::Finished) {
        text += QStringLiteral(" at ") + QString::fromStdString(stageText(record));
    }
    if (!record.succeeded() && !record.cause.empty()) {
        text += QStringLiteral(" (") + QString::fromStdString(record.cause) + QLatin1Char(')');
    }
    double seconds = record.seconds();
    if (resultShown.isValid()) {
        const auto start =
            std::chrono::duration_cast<std::chrono::milliseconds>(record.start.time_since_epoch())
                .count();
        seconds = std::max(0.0, (resultShown.toMSecsSinceEpoch() - start) / 1000.0);
    }
    text += QStringLiteral(": %1 bytes sent, %2 received in %3 s")
                .arg(record.bytesSent)
                .arg(record.bytesReceived)
                .arg(seconds, 0, 'f', 1);
    return text;
}

QtOperator::QtOperator(Timing runTiming, MessagePresenter messages)
    : timing(runTiming), presenter(std::move(messages)) {}

void QtOperator::beginRecord(const RunRecord* running) {
    record = running;
    shownDetail.clear();
    shownCause.clear();
    stopped = false;
    lastBox = {};
}

QString QtOperator::boxDetail(const RunRecord& running, bool inExchange) {
    if (inExchange) {
        return QString::fromStdString(running.cause);
    }
    // Read as if the run ended here: it does, or goes on to its reset.
    RunRecord now = running;
    if (!now.ended()) {
        now.result = RunResult::Failed;
    }
    if (now.end < now.start) {
        now.end = RunRecord::Clock::now();
    }
    if (now.succeeded()) {
        return QString::fromStdString(runSummary(now));
    }
    QStringList lines;
    for (const std::string& hint : runHints(now, HintReader::Desktop)) {
        lines << QString::fromStdString(hint);
    }
    return lines.join(QLatin1Char('\n'));
}

void QtOperator::showMessage(std::string_view text, Icon icon) {
    const QString message = fromView(text);
    QString detail;
    if (record) {
        const bool inExchange = exchangeRunning();
        detail = boxDetail(*record, inExchange);
        // Each thing said once: a cause already under an earlier box, or the
        // same advice again, is not repeated.
        const QString cause = QString::fromStdString(record->cause);
        if (detail == shownDetail || (inExchange && cause == shownCause)) {
            detail.clear();
        }
        if (!detail.isEmpty()) {
            shownDetail = detail;
            shownCause = cause;
        }
    }
    runLog.add(RunLog::Kind::Message, message);
    lastBox = QDateTime::currentDateTime();
    if (presenter) {
        presenter(ownerWindow, message, icon, detail);
        return;
    }
    makeMessageBox(ownerWindow, message, icon, detail)->exec();
}

int QtOperator::runExchange(Exchange& exchange) {
    ++runningExchanges;
    int result = 0;
    {
        ExchangeDialog dialog(exchange, ownerWindow, stageOf(record));
        result = dialog.run();
        if (dialog.stoppedByOperator()) {
            stopped = true;
        }
    }
    --runningExchanges;
    // A stop is said as such before the failure message the caller shows next.
    if (stopped && result != 1) {
        notify("Stopped.", Notice::Information);
    }
    return result;
}

void QtOperator::pause(int passes) {
    // The pause blocks the user-interface thread, as the counting loops it stands for did.
    timing.clock->sleepFor(timing.pass * passes);
}

void QtOperator::notify(std::string_view text, Notice kind) {
    // The main window shows what the log announces on its status line.
    switch (kind) {
    case Notice::Failure:
        runLog.add(RunLog::Kind::Failure, fromView(text));
        break;
    case Notice::Warning:
        runLog.add(RunLog::Kind::Warning, fromView(text));
        break;
    case Notice::Information:
        runLog.add(RunLog::Kind::Information, fromView(text));
        break;
    }
}

} // namespace velmora::app
