#pragma once

#include <QComboBox>
#include <QString>

namespace velmora::app {

// The port the programming commands use: the serial devices found on this
// machine with their descriptions, "Simulated board", or a device path typed
// in. The list is read again each time it opens.
class PortChooser : public QComboBox {
    Q_OBJECT
public:
    // The choice that stands for a simulated board started for each run.
    static QString simulatedChoice() { return QStringLiteral("sim"); }
    static QString simulatedLabel() { return QStringLiteral("Simulated board"); }

    explicit PortChooser(QWidget* parent = nullptr);

    // Lists the devices present now; the current choice stays.
    void refresh();

    // "sim", a detected device's path, or the text typed in.
    QString choice() const;
    void setChoice(const QString& choice);

    // The device a run opens: "sim" for the simulated board, a device path,
    // or empty when the text names no serial device.
    QString chosenDevice() const;

signals:
    void choiceChanged(const QString& choice);
    // The operator is done with the chooser (picked, Enter, Esc): the keys
    // belong to the window again.
    void finished();

public:
    void showPopup() override;

protected:
    void keyPressEvent(QKeyEvent* event) override;

private:
    void announce();
    QString lastAnnounced;
};

} // namespace velmora::app
