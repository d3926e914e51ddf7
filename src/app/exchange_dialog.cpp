#include "app/exchange_dialog.h"

#include "app/dialog_units.h"
#include "app/pictures.h"
#include "transfer/boot_download_dialog.h"
#include "transfer/programming_dialog.h"
#include "transfer/response_wait_dialog.h"

#include <QCloseEvent>
#include <QElapsedTimer>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <algorithm>
#include <climits>

namespace velmora::app {

namespace {

// The places of a dialog's controls, in dialog units; a zero width means none.
struct DialogLayout {
    QSize size;
    QRect status;
    QRect progress;
    QRect icon;
    QRect stop;
};

DialogLayout layoutFor(const Exchange& exchange) {
    if (dynamic_cast<const CBootDownloadDialog*>(&exchange)) {
        return {{94, 46}, {41, 17, 24, 8}, {63, 7, 24, 8}, {7, 13, 18, 20}, {}};
    }
    if (dynamic_cast<const CProgrammingDialog*>(&exchange)) {
        return {{91, 49}, {50, 20, 24, 8}, {57, 7, 27, 8}, {20, 15, 18, 20}, {}};
    }
    if (dynamic_cast<const CResponseWaitDialog*>(&exchange)) {
        return {{126, 27}, {23, 7, 64, 8}, {}, {}, {88, 7, 31, 13}};
    }
    // Any other exchange: its text and a bar.
    return {{126, 40}, {7, 22, 112, 8}, {7, 7, 112, 8}, {}, {}};
}

} // namespace

ExchangeDialog::ExchangeDialog(Exchange& exchange, QWidget* owner)
    : QDialog(owner, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint),
      exchange(exchange) {
    setWindowTitle(QString::fromStdString(exchange.caption()));
    setWindowModality(Qt::ApplicationModal);
    buildLayout();
    timer.setSingleShot(true);
    connect(&timer, &QTimer::timeout, this, &ExchangeDialog::onTimer);
}

void ExchangeDialog::buildLayout() {
    const DialogUnits units(font());
    const DialogLayout layout = layoutFor(exchange);
    const QSize size = units.size(layout.size.width(), layout.size.height());
    // The caption stays readable where the window manager puts an icon and
    // buttons on a dialog's title bar: a narrow dialog grows, its controls
    // keep their places in the middle.
    QFont captionFont = font();
    captionFont.setBold(true);
    const int captionRoom =
        QFontMetrics(captionFont).horizontalAdvance(windowTitle()) + 5 * fontMetrics().height();
    const int width = std::max(size.width(), captionRoom);
    const int shift = (width - size.width()) / 2;
    setFixedSize(width, size.height());
    auto place = [&units, shift](const QRect& box) {
        return units.rect(box.x(), box.y(), box.width(), box.height()).translated(shift, 0);
    };

    status = new QLabel(this);
    status->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    QRect statusPlace = place(layout.status);
    // A text line keeps the font's full height even where the unit box is smaller.
    statusPlace.setHeight(std::max(statusPlace.height(), fontMetrics().height()));
    statusPlace.setWidth(std::max(statusPlace.width(), fontMetrics().horizontalAdvance("100 %")));
    status->setGeometry(statusPlace);

    if (layout.progress.width() > 0) {
        // The layouts create the bar hidden; it is shown so that progress can be followed.
        progress = new QProgressBar(this);
        progress->setTextVisible(false);
        progress->setGeometry(place(layout.progress));
        progress->setRange(0, 0);
        progress->setValue(0);
    }
    if (layout.icon.width() > 0) {
        auto* icon = new QLabel(this);
        const int side = units.iconSide();
        icon->setPixmap(programIcon().pixmap(side, side));
        const QRect box = place(layout.icon);
        icon->setGeometry(box.x(), box.y(), side, side);
    }
    if (layout.stop.width() > 0) {
        stop = new QPushButton(tr("Stop"), this);
        stop->setObjectName(QStringLiteral("stop1004"));
        stop->setGeometry(place(layout.stop));
        stop->setAutoDefault(false);
        connect(stop, &QPushButton::clicked, this, &ExchangeDialog::requestStop);
    }
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
