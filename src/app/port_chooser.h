#pragma once

#include "serial/port_list.h"

#include <QComboBox>
#include <QString>
#include <vector>

namespace velmora::app {

// The port the programming commands use: the serial devices found on this
// machine with what identifies them, a simulated board at the line's real
// speed and one that runs fast, or a device path or a network port
// (rfc2217://host:port) typed in. A chosen device that is not there now is
// listed as such. The list is read again each time it opens. Tab and the
// label's mnemonic reach it. A pick from the list or Enter takes the choice
// (and checks it); Esc, or leaving it otherwise, puts the last choice taken
// back: runs only ever use a choice taken, never half-typed text. Enter and
// Esc hand the keys back to the window.
class PortChooser : public QComboBox {
    Q_OBJECT
public:
    // The choice that stands for a simulated board started for each run.
    static QString simulatedChoice() { return QStringLiteral("sim"); }
    static QString simulatedLabel() { return QStringLiteral("Simulated board"); }
    // The same board without pacing: a rehearsal that takes no time.
    static QString simulatedFastChoice() { return QStringLiteral("sim-fast"); }
    static QString simulatedFastLabel() { return QStringLiteral("Simulated board (fast)"); }
    static bool isSimulated(const QString& choice) {
        return choice == simulatedChoice() || choice == simulatedFastChoice();
    }
    // How a detected port is listed: its device and what identifies it.
    static QString labelOf(const PortInfo& port);
    // The text an absent device is listed with.
    static QString absentLabel(const QString& device);

    explicit PortChooser(QWidget* parent = nullptr);

    // Lists the devices present now; the current choice stays.
    void refresh();

    // "sim", a detected device's path, or the text typed in.
    QString choice() const;
    // Shows and takes a choice.
    void setChoice(const QString& choice);
    // The last choice taken; the text typed since is put back by restore().
    QString taken() const { return takenChoice; }
    void restore();
    // What is wrong with a choice, for the operator: empty when it names a
    // serial device that is there (or a simulated board, or a network port).
    static QString problemOf(const QString& choice);

    // The device a run opens: a simulated choice as it is, a device path,
    // or empty when the text names no serial device.
    QString chosenDevice() const;

signals:
    // A different choice was taken.
    void choiceChanged(const QString& choice);
    // A choice taken with Enter names no device that is there now.
    void problemFound(const QString& problem);
    // The operator is done with the chooser (picked, Enter, Esc): the keys
    // belong to the window again.
    void finished();

public:
    void showPopup() override;

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;

private:
    // Lists these devices and the simulated boards; the current choice stays.
    void fill(const std::vector<PortInfo>& ports);
    void take(bool check);
    // Lists a chosen device path that is not on this machine now as absent.
    void addAbsent(const QString& device);
    QString takenChoice;
};

} // namespace velmora::app
