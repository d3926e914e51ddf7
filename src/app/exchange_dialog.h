#pragma once

#include "app/transfer_pace.h"
#include "core/exchange.h"

#include <QDialog>
#include <QTimer>
#include <chrono>

class QLabel;
class QProgressBar;
class QPushButton;

namespace velmora::app {

// A transfer dialog: runs one exchange with the target modally. A timer
// drives it: the download and the programming transfer pass after pass in
// short slices, so the window keeps being painted and answers; the response
// wait one step per tick. Stop and Esc end the run between two passes.
// Captions and texts are the exchange's own dialog's; the dialog grows to
// show them whole, and a transfer also shows its bytes, rate and time left
// and, in a run of several transfers, which stage is running.
class ExchangeDialog : public QDialog {
    Q_OBJECT
public:
    // How long one slice of passes may take before the window is served again.
    static constexpr int sliceMilliseconds = 15;
    // How long one wait for an answer between two ticks may hold the window.
    static constexpr std::chrono::milliseconds answerSlice{5};

    ExchangeDialog(Exchange& shown, QWidget* owner, const QString& stage = {});

    // Starts the exchange and, unless it ended at start-up, shows the dialog
    // until it ends. Returns the exchange's result (1 success, else 2).
    int run();

    QLabel* statusLabel() const { return status; }
    QProgressBar* progressBar() const { return progress; }
    QPushButton* stopButton() const { return stop; }
    QLabel* detailsLabel() const { return details; }
    QLabel* stageLabel() const { return stageText; }
    // Whether the run ended because the operator stopped it (Stop or Esc).
    bool stoppedByOperator() const { return stoppedByHand; }

signals:
    // What the dialog has just shown: its text and the bar's position and range.
    void progressShown(const QString& statusText, int value, int maximum);

public slots:
    // Esc: stop between passes.
    void reject() override;

protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    void buildLayout(const QString& stage);
    void onTimer();
    void awaitAnswer();
    void drive();
    void showState();
    void requestStop();

    Exchange& exchange;
    QTimer timer;
    // When the response wait's next tick is due; an answer before it is taken at once.
    std::chrono::steady_clock::time_point tickDue;
    QLabel* status = nullptr;
    QProgressBar* progress = nullptr;
    QPushButton* stop = nullptr;
    QLabel* details = nullptr;
    QLabel* stageText = nullptr;
    TransferPace pace;
    bool stoppedByHand = false;
    bool stepping = false;
    bool stopRequested = false;
    bool running = false;
};

} // namespace velmora::app
