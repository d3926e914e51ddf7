#include "app/qt_operator.h"

#include "app/commands.h"
#include "app/exchange_dialog.h"

#include <QMainWindow>
#include <QMessageBox>
#include <QStatusBar>
#include <thread>

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

} // namespace

std::unique_ptr<QMessageBox> makeMessageBox(QWidget* owner, const QString& text, Icon icon) {
    auto box = std::make_unique<QMessageBox>(boxIcon(icon), applicationName(), text,
                                             QMessageBox::Ok, owner);
    // Modal to the whole program, also while the owner is hidden (a print request).
    box->setWindowModality(Qt::ApplicationModal);
    return box;
}

QtOperator::QtOperator(Timing timing, MessagePresenter presenter)
    : timing(timing), presenter(std::move(presenter)) {}

void QtOperator::showMessage(std::string_view text, Icon icon) {
    const QString message = QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
    if (presenter) {
        presenter(ownerWindow, message, icon);
        return;
    }
    makeMessageBox(ownerWindow, message, icon)->exec();
}

int QtOperator::runExchange(Exchange& exchange) {
    ++runningExchanges;
    int result = 0;
    {
        ExchangeDialog dialog(exchange, ownerWindow);
        result = dialog.run();
    }
    --runningExchanges;
    return result;
}

void QtOperator::pause(int passes) {
    // The pause blocks the user-interface thread, as the counting loops it stands for did.
    std::this_thread::sleep_for(timing.pass * passes);
}

void QtOperator::notify(std::string_view text, Notice) {
    if (auto* window = qobject_cast<QMainWindow*>(ownerWindow.data())) {
        window->statusBar()->showMessage(
            QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())));
    }
}

} // namespace velmora::app
