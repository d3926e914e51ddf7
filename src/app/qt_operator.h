#pragma once

#include "core/operator.h"
#include "core/timing.h"

#include <QPointer>
#include <QString>
#include <QWidget>
#include <functional>
#include <memory>

class QMessageBox;

namespace velmora::app {

// Shows one message and returns once the operator has seen it. The default
// shows a modal QMessageBox; tests may put their own in its place.
using MessagePresenter = std::function<void(QWidget* owner, const QString& text, Icon icon)>;

// A message box as the program shows every message: modal, owned by the main
// window, titled with the application's name, an OK button and the icon asked
// for (the exclamation where none is named).
std::unique_ptr<QMessageBox> makeMessageBox(QWidget* owner, const QString& text, Icon icon);

// The desktop's operator: message boxes, the transfer dialogs driven from a
// timer, and pauses as timed waits that block the user-interface thread.
class QtOperator : public Operator {
public:
    explicit QtOperator(Timing timing = {}, MessagePresenter presenter = {});

    // The window that owns every box and dialog (the main window).
    void setOwner(QWidget* owner) { ownerWindow = owner; }
    QWidget* owner() const { return ownerWindow; }

    void showMessage(std::string_view text, Icon icon = Icon::Warning) override;
    int runExchange(Exchange& exchange) override;
    void pause(int passes) override;
    // On the owner's status bar, where it stays until the next command.
    void notify(std::string_view text, Notice kind) override;

    // Whether a transfer dialog is running now.
    bool exchangeRunning() const { return runningExchanges > 0; }

private:
    Timing timing;
    MessagePresenter presenter;
    QPointer<QWidget> ownerWindow;
    int runningExchanges = 0;
};

} // namespace velmora::app
