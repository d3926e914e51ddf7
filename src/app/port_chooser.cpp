#include "app/port_chooser.h"

#include "serial/port_list.h"
#include "serial/port_names.h"

#include <QAbstractItemView>
#include <QFileInfo>
#include <QFocusEvent>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPalette>

namespace velmora::app {

PortChooser::PortChooser(QWidget* parent) : QComboBox(parent) {
    setEditable(true);
    setInsertPolicy(QComboBox::NoInsert);
    // Tab, the label's mnemonic or a click: the window's plain-letter keys
    // are letters here and commands again once the chooser is left.
    setFocusPolicy(Qt::StrongFocus);
    lineEdit()->setPlaceholderText(tr("Port, device path or rfc2217://host:port"));
    // A file dropped here is opened by the window, not pasted as text.
    lineEdit()->setAcceptDrops(false);
    setToolTip(tr("The port the board is on: a detected port, the simulated board, a "
                  "device path, or a port on another machine (rfc2217://host:port)"));
    // The simulated boards now; the ports detected once the window is shown
    // (looking for them is the longest part of building the form) and at
    // every opening of the list.
    fill({});
    connect(this, &QComboBox::activated, this, [this] {
        take(false);
        emit finished();
    });
}

void PortChooser::refresh() {
    fill(availablePorts());
}

void PortChooser::fill(const std::vector<PortInfo>& ports) {
    const QString current = choice();
    const bool blocked = blockSignals(true);
    clear();
    for (const auto& port : ports) {
        addItem(labelOf(port), QString::fromStdString(port.device));
        setItemData(count() - 1, labelOf(port), Qt::ToolTipRole);
    }
    addItem(simulatedLabel(), simulatedChoice());
    setItemData(count() - 1, tr("A simulated board at the line's real speed"), Qt::ToolTipRole);
    addItem(simulatedFastLabel(), simulatedFastChoice());
    setItemData(count() - 1, tr("A simulated board that answers at once"), Qt::ToolTipRole);
    blockSignals(blocked);
    if (!current.isEmpty()) {
        setChoice(current);
    }
}

QString PortChooser::labelOf(const PortInfo& port) {
    QStringList parts;
    const QString description = QString::fromStdString(port.description);
    const QString manufacturer = QString::fromStdString(port.manufacturer);
    if (!description.isEmpty()) {
        parts << description;
    }
    if (!manufacturer.isEmpty() && !description.contains(manufacturer, Qt::CaseInsensitive)) {
        parts << manufacturer;
    }
    if (port.vendorId && port.productId) {
        parts << QStringLiteral("USB %1:%2")
                     .arg(*port.vendorId, 4, 16, QLatin1Char('0'))
                     .arg(*port.productId, 4, 16, QLatin1Char('0'));
    }
    if (!port.serialNumber.empty()) {
        parts << QStringLiteral("serial ") + QString::fromStdString(port.serialNumber);
    }
    const QString device = QString::fromStdString(port.device);
    return parts.isEmpty() ? device
                           : device + QStringLiteral("  (") + parts.join(QStringLiteral(", ")) +
                                 QLatin1Char(')');
}

QString PortChooser::absentLabel(const QString& device) {
    return device + QStringLiteral("  (not connected)");
}

void PortChooser::addAbsent(const QString& device) {
    insertItem(0, absentLabel(device), device);
    setItemData(0, palette().color(QPalette::Disabled, QPalette::Text), Qt::ForegroundRole);
    setItemData(0, tr("%1 is not on this machine now").arg(device), Qt::ToolTipRole);
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
    if (typed.compare(simulatedFastLabel(), Qt::CaseInsensitive) == 0) {
        return simulatedFastChoice();
    }
    return typed;
}

void PortChooser::setChoice(const QString& wanted) {
    const bool blocked = blockSignals(true);
    int index = findData(wanted);
    if (index < 0 && wanted.startsWith(QStringLiteral("/dev/")) && !QFileInfo::exists(wanted)) {
        addAbsent(wanted);
        index = 0;
    }
    if (index >= 0) {
        setCurrentIndex(index);
    } else {
        setCurrentIndex(-1);
        setEditText(wanted);
    }
    blockSignals(blocked);
    takenChoice = choice();
}

void PortChooser::restore() {
    if (choice() != takenChoice || currentText() != itemText(currentIndex())) {
        setChoice(takenChoice);
    }
}

QString PortChooser::problemOf(const QString& chosen) {
    if (isSimulated(chosen)) {
        return {};
    }
    const QString device = QString::fromStdString(resolvePort(chosen.toStdString()));
    if (device.isEmpty()) {
        return chosen.isEmpty() ? tr("No serial port is chosen.")
                                : tr("%1 names no serial port.").arg(chosen);
    }
    if (device.contains(QStringLiteral("://"))) {
        return {}; // a network port is tried when a run opens it
    }
    if (!QFileInfo::exists(device)) {
        return tr("%1 is not on this machine now.").arg(device);
    }
    return {};
}

QString PortChooser::chosenDevice() const {
    const QString chosen = choice();
    if (isSimulated(chosen)) {
        return chosen;
    }
    return QString::fromStdString(resolvePort(chosen.toStdString()));
}

void PortChooser::showPopup() {
    refresh();
    QComboBox::showPopup();
}

void PortChooser::keyPressEvent(QKeyEvent* event) {
    const bool enter = event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter;
    if (event->key() == Qt::Key_Escape) {
        restore();
        event->accept();
        emit finished();
        return;
    }
    QComboBox::keyPressEvent(event);
    if (enter) {
        take(true);
        emit finished();
    }
}

void PortChooser::focusOutEvent(QFocusEvent* event) {
    QComboBox::focusOutEvent(event);
    // Typed but not taken: the last choice taken stands. The list's popup
    // takes the focus for a moment; that is no leaving.
    if (event->reason() != Qt::PopupFocusReason && !view()->isVisible()) {
        restore();
    }
}

void PortChooser::take(bool check) {
    const QString chosen = choice();
    const bool changed = chosen != takenChoice;
    // Shown as it will be used: a device that is not here is listed as absent.
    setChoice(chosen);
    if (check) {
        if (const QString problem = problemOf(chosen); !problem.isEmpty()) {
            emit problemFound(problem);
        }
    }
    if (changed) {
        emit choiceChanged(chosen);
    }
}

} // namespace velmora::app
