#include "app/port_chooser.h"

#include "serial/port_list.h"
#include "serial/port_names.h"

#include <QKeyEvent>
#include <QLineEdit>

namespace velmora::app {

PortChooser::PortChooser(QWidget* parent) : QComboBox(parent) {
    setEditable(true);
    setInsertPolicy(QComboBox::NoInsert);
    // Clicked into, not tabbed into: the window's plain-letter keys stay
    // commands until the operator means to type a device path.
    setFocusPolicy(Qt::ClickFocus);
    lineEdit()->setPlaceholderText(tr("Port or device path"));
    // A file dropped here is opened by the window, not pasted as text.
    lineEdit()->setAcceptDrops(false);
    setToolTip(tr("The port the board is on: a detected port, the simulated board, or a "
                  "device path"));
    refresh();
    connect(this, &QComboBox::activated, this, [this] {
        announce();
        emit finished();
    });
    connect(lineEdit(), &QLineEdit::editingFinished, this, &PortChooser::announce);
}

void PortChooser::refresh() {
    const QString current = choice();
    const bool blocked = blockSignals(true);
    clear();
    for (const auto& port : availablePorts()) {
        const QString device = QString::fromStdString(port.device);
        QString label = device;
        if (!port.description.empty()) {
            label += QStringLiteral("  (%1)").arg(QString::fromStdString(port.description));
        }
        addItem(label, device);
    }
    addItem(simulatedLabel(), simulatedChoice());
    blockSignals(blocked);
    if (!current.isEmpty()) {
        setChoice(current);
    }
}

QString PortChooser::choice() const {
    const int index = currentIndex();
    if (index >= 0 && currentText() == itemText(index)) {
        return itemData(index).toString();
    }
    const QString typed = currentText().trimmed();
    if (typed.compare(simulatedLabel(), Qt::CaseInsensitive) == 0) {
        return simulatedChoice();
    }
    return typed;
}

void PortChooser::setChoice(const QString& wanted) {
    const bool blocked = blockSignals(true);
    const int index = findData(wanted);
    if (index >= 0) {
        setCurrentIndex(index);
    } else {
        setCurrentIndex(-1);
        setEditText(wanted);
    }
    blockSignals(blocked);
    lastAnnounced = choice();
}

QString PortChooser::chosenDevice() const {
    const QString chosen = choice();
    if (chosen == simulatedChoice()) {
        return chosen;
    }
    return QString::fromStdString(resolvePort(chosen.toStdString()));
}

void PortChooser::showPopup() {
    refresh();
    QComboBox::showPopup();
}

void PortChooser::keyPressEvent(QKeyEvent* event) {
    const bool done = event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter ||
                      event->key() == Qt::Key_Escape;
    QComboBox::keyPressEvent(event);
    if (done) {
        announce();
        emit finished();
    }
}

void PortChooser::announce() {
    const QString chosen = choice();
    if (chosen != lastAnnounced) {
        lastAnnounced = chosen;
        emit choiceChanged(chosen);
    }
}

} // namespace velmora::app
