#pragma once

#include "app/run_log.h"
#include "core/operator.h"
#include "core/run_record.h"
#include "core/timing.h"

#include <QDateTime>
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

// The width a window needs to show its whole title beside the icon and
// buttons a window manager puts on a title bar.
int titleRoom(const QWidget& window);

// A message box as the program shows every message: modal, owned by the main
// window, titled with the application's name, an OK button and the icon asked
// for (the exclamation where none is named). It is wide enough for its whole
// title; `detail` goes under the text.
std::unique_ptr<QMessageBox> makeMessageBox(QWidget* owner, const QString& text, Icon icon,
                                            const QString& detail = {});

// How a run ended, as its log and status line end it: the result, where a
// failure happened and why, the bytes each way and the time to the result
// (`resultShown`, when its last box came up; the record's end when invalid).
// "programmed: 4224 bytes sent, 35 received in 3.2 s".
QString runOutcome(const RunRecord& record, const QDateTime& resultShown = {});

// The desktop's operator: message boxes, the transfer dialogs driven from a
// timer, and pauses as timed waits that block the user-interface thread.
// Every message and notice also goes to the run log.
class QtOperator : public Operator {
public:
    explicit QtOperator(Timing runTiming = {}, MessagePresenter messages = {});

    // The window that owns every box and dialog (the main window).
    void setOwner(QWidget* owner) { ownerWindow = owner; }
    QWidget* owner() const { return ownerWindow; }

    void showMessage(std::string_view text, Icon icon = Icon::Warning) override;
    int runExchange(Exchange& exchange) override;
    void pause(int passes) override;
    // On the owner's status bar and in the run log.
    void notify(std::string_view text, Notice kind) override;

    RunLog& log() { return runLog; }
    // The record of the command (or load) now running, filled by the library
    // as it goes; null between commands. Each box it shows says beside its
    // text what the record tells: within an exchange the cause when a new
    // one was told, after it the cause and what to do (or, for a success,
    // what was done), each said once.
    void beginRecord(const RunRecord* running);
    void endRecord() { record = nullptr; }
    // When the run's last box came up: the moment its result was known.
    QDateTime lastBoxTime() const { return lastBox; }
    // What a box of the record's run says under its text now.
    static QString boxDetail(const RunRecord& record, bool inExchange);

    // Whether a transfer dialog is running now.
    bool exchangeRunning() const { return runningExchanges > 0; }

private:
    Timing timing;
    MessagePresenter presenter;
    QPointer<QWidget> ownerWindow;
    int runningExchanges = 0;
    RunLog runLog;
    const RunRecord* record = nullptr;
    QString shownDetail;
    QString shownCause;
    QDateTime lastBox;
    bool stopped = false;
};

} // namespace velmora::app
