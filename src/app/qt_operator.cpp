#include "app/qt_operator.h"

#include "app/commands.h"
#include "app/exchange_dialog.h"
#include "control/corvane_view.h"
#include "core/flags.h"
#include "transfer/boot_download.h"
#include "transfer/programming_transfer.h"

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

// Which stage of a boot-mode run an exchange is, by its kind and the order of
// the run: the boot program, then PreFlash.bin, then the program.
QString stageOf(const Exchange& exchange, int command) {
    if (command != SetBootModeCommand) {
        return {};
    }
    if (dynamic_cast<const BootDownload*>(&exchange)) {
        return QStringLiteral("Step 1 of 3: the boot program (3062f.bin)");
    }
    if (dynamic_cast<const ProgrammingTransfer*>(&exchange)) {
        return bootDownloadDone ? QStringLiteral("Step 2 of 3: PreFlash.bin")
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
        // "Cannot read <file>: <reason>": the reason on a line of its own.
        QString shown = detail;
        const qsizetype colon = shown.lastIndexOf(QStringLiteral(": "));
        if (colon > 0) {
            shown.replace(colon, 2, QStringLiteral(":\n"));
        }
        box->setInformativeText(shown);
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

QtOperator::QtOperator(Timing timing, MessagePresenter presenter)
    : timing(timing), presenter(std::move(presenter)) {}

void QtOperator::showMessage(std::string_view text, Icon icon) {
    const QString message = fromView(text);
    // What the program knows beyond the fixed text is said first, where it happened.
    const QString detail = messageDetail ? messageDetail(message) : QString();
    if (!detail.isEmpty()) {
        runLog.add(RunLog::Kind::Failure, detail);
    }
    runLog.add(RunLog::Kind::Message, message);
    last = message;
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
        ExchangeDialog dialog(exchange, ownerWindow, stageOf(exchange, runCommand));
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
