#include "app/form_view.h"

#include "app/dialog_units.h"
#include "app/port_chooser.h"
#include "serial/port_names.h"
#include "serial/serial_port.h"
#include "sim/board_for_run.h"

#include <QPaintEvent>
#include <QPainter>

namespace velmora::app {

namespace {

SimulatedRun runFor(int command) {
    switch (command) {
    case FlashCommand:
    case AllFlashCommand:
        return SimulatedRun::Flash;
    case SetBootModeCommand:
        return SimulatedRun::BootMode;
    default:
        // Writes without a trigger word go to a firmware already in its reflash mode.
        return SimulatedRun::Write;
    }
}

} // namespace

FormView::FormView(QtOperator& op, SerialPort& serialPort, Places places, Timing timing,
                   BoardOptions simulatedBoard, QWidget* parent)
    : QWidget(parent), op(op), serialPort(serialPort),
      control(op, serialPort, commControl, std::move(places), timing),
      simulatedBoardOptions(std::move(simulatedBoard)) {
    setObjectName(QStringLiteral("formView"));
    setAttribute(Qt::WA_OpaquePaintEvent);
    setFocusPolicy(Qt::StrongFocus);
    const DialogUnits units(font());
    setFixedSize(units.size(formWidth, formHeight));

    chooser = new PortChooser(this);
    chooser->setObjectName(QStringLiteral("portChooser"));
    const int height = chooser->sizeHint().height();
    chooser->setGeometry(units.x(7), units.y(7), units.x(150), height);
    connect(chooser, &PortChooser::choiceChanged, this, &FormView::portChoiceChanged);
    connect(chooser, &PortChooser::finished, this, [this] { setFocus(Qt::OtherFocusReason); });
}

FormView::~FormView() = default;

bool FormView::handlesCommand(int command) {
    switch (command) {
    case WriteToFlashCommand:
    case StartProgrammingCommand:
    case SetBootModeCommand:
    case SetUserModeCommand:
    case FlashCommand:
    case AllFlashCommand:
    case WriteCommandCommand:
        return true;
    default:
        return false;
    }
}

void FormView::portChoiceChanged() {
    // The control opens the new device at its next open: let go of the old one.
    commControl.setPortOpen(false);
}

bool FormView::runCommand(int command) {
    if (!control.isEnabled(command)) {
        return false;
    }
    const QString device = chooser->chosenDevice();
    std::unique_ptr<SimulatedBoard> board;
    if (device == PortChooser::simulatedChoice()) {
        std::string error;
        board = startBoardFor(runFor(command), simulatedBoardOptions, &error);
        if (!board) {
            op.showMessage("Cannot start the simulated board: " + error);
            return true;
        }
        assignPortDevice(CCorvaneView::directPort, board->devicePath());
        commControl.setPortName(board->devicePath());
    } else if (device.isEmpty()) {
        const QString typed = chooser->choice();
        op.showMessage(typed.isEmpty()
                           ? std::string("No serial port is chosen.")
                           : (typed + QStringLiteral(" names no serial port.")).toStdString());
        return true;
    } else {
        assignPortDevice(CCorvaneView::directPort, device.toStdString());
        commControl.setPortName(device.toStdString());
    }
    control.runCommand(command);
    if (board) {
        // The board lives for this run only: let go of its line before it goes.
        serialPort.close();
        commControl.setPortOpen(false);
        board->stop();
    }
    return true;
}

void FormView::paintEvent(QPaintEvent* event) {
    // The area to erase, in the form's colour.
    QPainter painter(this);
    painter.fillRect(event->rect(), backgroundColour());
}

} // namespace velmora::app
