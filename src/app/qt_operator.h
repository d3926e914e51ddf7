#pragma once

#include "app/run_log.h"
#include "core/operator.h"
#include "core/timing.h"

#include <QPointer>
#include <QString>
#include <QWidget>
#include <functional>
#include <memory>

class QMessageBox;

namespace velmora::app {

// Shows one message (and what the program adds under it) and returns once
// the operator has seen it. The default shows a modal QMessageBox; tests may
// put their own in its place.
using MessagePresenter =
    std::function<void(QWidget* owner, const QString& text, Icon icon, const QString& detail)>;

// What the program can tell about a message beyond its fixed text (which file
// it could not read, and why); empty when nothing.
using MessageDetail = std::function<QString(const QString& text)>;

// The width a window needs to show its whole title beside the icon and
// buttons a window manager puts on a title bar.
int titleRoom(const QWidget& window);

// A message box as the program shows every message: modal, owned by the main
// window, titled with the application's name, an OK button and the icon asked
// for (the exclamation where none is named). It is wide enough for its whole
// title; `detail` goes under the text.
std::unique_ptr<QMessageBox> makeMessageBox(QWidget* owner, const QString& text, Icon icon,
                                            const QString& detail = {});

// The desktop's operator: message boxes, the transfer dialogs driven from a
// timer, and pauses as timed waits that block the user-interface thread.
// Every message and notice also goes to the run log.
class QtOperator : public Operator {
public:
    explicit QtOperator(Timing timing = {}, MessagePresenter presenter = {});

    // The window that owns every box and dialog (the main window).
    void setOwner(QWidget* owner) { ownerWindow = owner; }
    QWidget* owner() const { return ownerWindow; }

    void showMessage(std::string_view text, Icon icon = Icon::Warning) override;
    int runExchange(Exchange& exchange) override;
    void pause(int passes) override;
    // On the owner's status bar and in the run log.
    void notify(std::string_view text, Notice kind) override;

    RunLog& log() { return runLog; }
    // The command now running (0: none): a boot-mode run tells its stages apart.
    void setRunCommand(int command) { runCommand = command; }
    void setMessageDetail(MessageDetail explain) { messageDetail = std::move(explain); }
    // Whether the operator stopped a transfer dialog since the command began.
    bool stoppedByOperator() const { return stopped; }
    void clearStopped() { stopped = false; }
    // The last message box's text since the command began.
    QString lastMessage() const { return last; }
    void clearLastMessage() { last.clear(); }

    // Whether a transfer dialog is running now.
    bool exchangeRunning() const { return runningExchanges > 0; }

private:
    Timing timing;
    MessagePresenter presenter;
    QPointer<QWidget> ownerWindow;
    int runningExchanges = 0;
    RunLog runLog;
    MessageDetail messageDetail;
    int runCommand = 0;
    bool stopped = false;
    QString last;
};

} // namespace velmora::app
