#include "app/exchange_dialog.h"

#include "app/dialog_units.h"
#include "app/pictures.h"
#include "app/qt_operator.h"
#include "transfer/boot_download.h"
#include "transfer/programming_transfer.h"
#include "transfer/response_wait.h"

#include <QCloseEvent>
#include <QElapsedTimer>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>
#include <algorithm>
#include <climits>

namespace velmora::app {

namespace {

// The width a transfer's bar is given: a step of the bar for every percent.
constexpr int barWidth = 260;

bool isTransfer(const Exchange& exchange) {
    return dynamic_cast<const BootDownload*>(&exchange) ||
           dynamic_cast<const ProgrammingTransfer*>(&exchange) || exchange.progressMaximum() > 0;
}

} // namespace

ExchangeDialog::ExchangeDialog(Exchange& shown, QWidget* owner, const QString& stage)
    : QDialog(owner, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint), exchange(shown) {
    setWindowTitle(QString::fromStdString(shown.caption()));
    setWindowModality(Qt::ApplicationModal);
    buildLayout(stage);
    timer.setSingleShot(true);
    connect(&timer, &QTimer::timeout, this, &ExchangeDialog::onTimer);
}

void ExchangeDialog::buildLayout(const QString& stage) {
    const DialogUnits units(font());
    auto* outer = new QVBoxLayout(this);
    // The dialog is as large as its contents, and never narrower than its
    // caption with the room a window manager takes for an icon and buttons.
    outer->setSizeConstraint(QLayout::SetFixedSize);
    outer->addItem(new QSpacerItem(titleRoom(*this), 0, QSizePolicy::Fixed, QSizePolicy::Fixed));

    status = new QLabel(this);
    status->setObjectName(QStringLiteral("status1003"));
    status->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    status->setMinimumWidth(fontMetrics().horizontalAdvance(QStringLiteral("Parsing... 000")));
    stop = new QPushButton(tr("Stop"), this);
    stop->setObjectName(QStringLiteral("stop1004"));
    stop->setAutoDefault(false);
    stop->setMinimumWidth(units.x(31));
    connect(stop, &QPushButton::clicked, this, &ExchangeDialog::requestStop);

    if (!isTransfer(exchange)) {
        // The response wait: its count and Stop on one line.
        auto* row = new QHBoxLayout;
        row->addWidget(status, 1);
        row->addWidget(stop);
        outer->addLayout(row);
        return;
    }

    auto* row = new QHBoxLayout;
    auto* icon = new QLabel(this);
    const int side = units.iconSide();
    icon->setPixmap(programIcon().pixmap(side, side));
    icon->setAlignment(Qt::AlignTop);
    row->addWidget(icon);
    auto* column = new QVBoxLayout;
    if (!stage.isEmpty()) {
        stageText = new QLabel(stage, this);
        stageText->setObjectName(QStringLiteral("stage"));
        QFont bold = font();
        bold.setBold(true);
        stageText->setFont(bold);
        column->addWidget(stageText);
    }
    progress = new QProgressBar(this);
    progress->setTextVisible(false);
    progress->setFixedWidth(barWidth);
    progress->setRange(0, 0);
    progress->setValue(0);
    column->addWidget(progress);
    column->addWidget(status);
    details = new QLabel(this);
    details->setObjectName(QStringLiteral("details"));
    // Room for the longest line it shows, so the dialog keeps its size while it changes.
    details->setMinimumWidth(fontMetrics().horizontalAdvance(
        QStringLiteral("9999.9 of 9999.9 KiB · 9999.9 KiB/s · 99:59 left")));
    column->addWidget(details);
    row->addLayout(column, 1);
    outer->addLayout(row);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(stop);
    outer->addLayout(buttons);
}

int ExchangeDialog::run() {
    // Start-up comes before the dialog is shown: a file error ends it there.
    if (!exchange.start()) {
        return exchange.result();
    }
    running = true;
    showState();
    tickDue = std::chrono::steady_clock::now();
    timer.start(0);
    exec();
    running = false;
    return exchange.result();
}

void ExchangeDialog::onTimer() {
    if (exchange.stepInterval().count() > 0) {
        awaitAnswer();
    } else {
        drive();
    }
}

// Between two ticks of the response wait: short bounded waits on the line, so
// an answer is taken when it arrives and the window is served in between.
void ExchangeDialog::awaitAnswer() {
    using Clock = std::chrono::steady_clock;
    const auto now = Clock::now();
    if (now >= tickDue) {
        drive();
        return;
    }
    const auto wait = std::min(std::chrono::duration_cast<std::chrono::microseconds>(tickDue - now),
                               std::chrono::microseconds(answerSlice));
    const auto waitEnds = now + wait;
    if (exchange.waitForAnswer(wait)) {
        drive();
        return;
    }
    // A link that cannot wait (closed, gone) answers at once: the timer waits out the rest.
    const auto rest = std::chrono::ceil<std::chrono::milliseconds>(waitEnds - Clock::now());
    timer.start(static_cast<int>(std::max<long long>(rest.count(), 0)));
}

void ExchangeDialog::drive() {
    bool goesOn = true;
    stepping = true;
    if (exchange.stepInterval().count() > 0) {
        goesOn = exchange.step();
    } else {
        QElapsedTimer slice;
        slice.start();
        do {
            goesOn = exchange.step();
        } while (goesOn && !stopRequested && slice.elapsed() < sliceMilliseconds);
    }
    stepping = false;
    if (goesOn && stopRequested) {
        stoppedByHand = true;
        exchange.stop();
        goesOn = false;
    }
    showState();
    if (!goesOn) {
        done(exchange.result());
        return;
    }
    tickDue = std::chrono::steady_clock::now() + exchange.stepInterval();
    timer.start(0);
}

void ExchangeDialog::showState() {
    status->setText(QString::fromStdString(exchange.statusText()));
    if (progress) {
        const long long maximum = exchange.progressMaximum();
        if (details && maximum > 0) {
            const long long done = std::clamp(exchange.progressValue(), 0LL, maximum);
            pace.sample(TransferPace::Clock::now(), done);
            details->setText(pace.text(done, maximum));
        }
    }
    if (progress) {
        const long long maximum = exchange.progressMaximum();
        const long long value = std::clamp(exchange.progressValue(), 0LL, maximum);
        // A bar counts in int: very long files are shown in proportion.
        const long long divisor = maximum > INT_MAX ? maximum / INT_MAX + 1 : 1;
        progress->setRange(0, static_cast<int>(std::max(1LL, maximum / divisor)));
        progress->setValue(static_cast<int>(value / divisor));
    }
    emit progressShown(status->text(), progress ? progress->value() : 0,
                       progress ? progress->maximum() : 0);
}

void ExchangeDialog::requestStop() {
    if (!running) {
        return;
    }
    if (stepping) {
        // A pass is under way (it shows a message, say): stop once it is over.
        stopRequested = true;
        return;
    }
    stoppedByHand = true;
    timer.stop();
    exchange.stop();
    showState();
    done(exchange.result());
}

void ExchangeDialog::reject() {
    requestStop();
}

void ExchangeDialog::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    showState();
}

void ExchangeDialog::closeEvent(QCloseEvent* event) {
    // No close box: the run ends by itself, by Stop or by Esc.
    event->ignore();
}

} // namespace velmora::app
