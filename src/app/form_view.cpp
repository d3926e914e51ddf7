#include "app/form_view.h"

#include "app/commands.h"
#include "app/dialog_units.h"
#include "app/port_chooser.h"
#include "serial/ports.h"
#include "serial/serial_port.h"
#include "sim/board_for_run.h"

#include <QBoxLayout>
#include <QDir>
#include <QFileInfo>
#include <QLabel>
#include <QPaintEvent>
#include <QPainter>
#include <algorithm>

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

FormView::FormView(QtOperator& qtOperator, SerialPort& port, Places places, Timing runTiming,
                   BoardOptions simulatedBoard, QWidget* parent)
    : QWidget(parent), op(qtOperator), serialPort(port), commControl(port.ports()),
      timing(runTiming), simulatedBoardOptions(std::move(simulatedBoard)) {
    makeControl(std::move(places));
    setObjectName(QStringLiteral("formView"));
    setAttribute(Qt::WA_OpaquePaintEvent);
    setFocusPolicy(Qt::StrongFocus);
    const DialogUnits units(font());

    chooser = new PortChooser(this);
    chooser->setObjectName(QStringLiteral("portChooser"));
    chooser->setFixedWidth(units.x(180));
    label = new QLabel(QStringLiteral("&Port:"), this);
    label->setObjectName(QStringLiteral("portLabel"));
    label->setBuddy(chooser);
    summary = new QLabel(this);
    summary->setObjectName(QStringLiteral("programSummary"));
    summary->setWordWrap(true);
    summary->setTextInteractionFlags(Qt::NoTextInteraction);
    summary->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    // Light text on the form's brown.
    QPalette onForm = label->palette();
    onForm.setColor(QPalette::WindowText, Qt::white);
    label->setPalette(onForm);
    summary->setPalette(onForm);

    // The port where the communications control sat, at (7, 7) dialog units;
    // under it what the loaded program will write.
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(units.x(7), units.y(7), units.x(7), units.y(7));
    column->setSpacing(units.y(4));
    auto* row = new QHBoxLayout;
    row->setSpacing(units.x(4));
    row->addWidget(label);
    row->addWidget(chooser);
    row->addStretch(1);
    column->addLayout(row);
    column->addWidget(summary);
    column->addStretch(1);
    showNothingLoaded();
    setTabOrder(this, chooser);
    connect(chooser, &PortChooser::choiceChanged, this, &FormView::portChoiceChanged);
    connect(chooser, &PortChooser::finished, this, [this] { setFocus(Qt::OtherFocusReason); });
    connect(chooser, &PortChooser::problemFound, this,
            [this](const QString& problem) { this->op.log().add(RunLog::Kind::Warning, problem); });
}

FormView::~FormView() = default;

void FormView::makeControl(Places places) {
    control =
        std::make_unique<CCorvaneView>(op, serialPort, commControl, std::move(places), timing);
}

QSize FormView::minimumSizeHint() const {
    // The form's own size at least, and room for the whole summary.
    const DialogUnits units(font());
    const QSize form = units.size(formWidth, formHeight);
    const QMargins margins = layout()->contentsMargins();
    const int width = std::max(form.width(), layout()->minimumSize().width());
    const int textWidth = width - margins.left() - margins.right();
    const int height = margins.top() + chooser->sizeHint().height() + layout()->spacing() +
                       summary->heightForWidth(textWidth) + margins.bottom();
    return {width, std::max(form.height(), height)};
}

QString FormView::firstStepsText() {
    return QStringLiteral(
        "No program is loaded. First open the program (.mot) with Load > Open... or L, "
        "or drop it here; then choose the board's port above and press F to flash it.");
}

QString FormView::summaryText(const LoadedProgram& program) {
    const ImageSummary& image = program.image;
    QStringList lines;
    lines << QStringLiteral("Program: %1").arg(QFileInfo(program.path).fileName());
    QString content = QStringLiteral("Image: %1 bytes").arg(image.imageSize);
    if (image.hasData) {
        content += QStringLiteral(", data at ") +
                   QString::fromStdString(hexRange(image.firstAddress, image.lastAddress));
    }
    lines << content;
    lines << QStringLiteral("Written into erase ") +
                 QString::fromStdString(blockList(image.blocksWritten)) +
                 QStringLiteral("; a write takes about %1 s at %2 baud")
                     .arg(writeLineSeconds(image.imageSize, writeBaud), 0, 'f', 1)
                     .arg(writeBaud);
    lines << program.warnings;
    return lines.join(QLatin1Char('\n'));
}

void FormView::showLoaded(const LoadedProgram& program) {
    loadedPath = program.path;
    summary->setText(summaryText(program));
    summary->setToolTip(QDir::toNativeSeparators(program.path));
    updateGeometry();
}

void FormView::showNothingLoaded() {
    loadedPath.clear();
    summary->setText(firstStepsText());
    summary->setToolTip({});
    updateGeometry();
}

bool FormView::setBootDir(const std::filesystem::path& folder) {
    if (op.exchangeRunning() || control->busy) {
        return false;
    }
    Places places = control->places();
    places.bootDir = folder;
    makeControl(std::move(places));
    return true;
}

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
    if (!control->isEnabled(command)) {
        return false;
    }
    // A run uses the choice taken, never text typed and not taken.
    chooser->restore();
    const QString choice = chooser->taken();
    const QString device = chooser->chosenDevice();
    RunLog& log = op.log();
    log.beginRun(commandText(command).prompt, PortChooser::isSimulated(device)
                                                  ? chooser->itemText(chooser->findData(device))
                                              : device.isEmpty() ? choice
                                                                 : device);
    auto refuse = [&](const std::string& why) {
        op.showMessage(why);
        log.endRun(QStringLiteral("failed: ") + QString::fromStdString(why), op.lastBoxTime());
    };
    std::unique_ptr<SimulatedBoard> board;
    Ports& ports = serialPort.ports();
    const Ports::Opener machinePorts = ports.opener();
    if (PortChooser::isSimulated(device)) {
        std::string error;
        BoardOptions options = simulatedBoardOptions;
        // The rehearsal keeps a real line's pace unless the fast board is chosen.
        options.pace = device == PortChooser::simulatedChoice();
        board = startBoardFor(runFor(command), options, &error);
        if (!board) {
            refuse("Cannot start the simulated board: " + error);
            return true;
        }
        ports.setOpener(reachSettled(*board, machinePorts));
        ports.assign(CCorvaneView::directPort, board->devicePath());
        commControl.setPortName(board->devicePath());
    } else if (device.isEmpty()) {
        refuse(PortChooser::problemOf(choice).toStdString());
        return true;
    } else {
        ports.assign(CCorvaneView::directPort, device.toStdString());
        commControl.setPortName(device.toStdString());
    }
    control->setPortNamed(choice.toStdString(),
                          !defaultChoice.isEmpty() && choice == defaultChoice);
    control->setProgramFile(loadedPath.toStdString());
    op.beginRecord(&control->lastRun());
    control->runCommand(command);
    op.endRecord();
    if (board) {
        // The board lives for this run only: let go of its line before it goes.
        serialPort.close();
        commControl.setPortOpen(false);
        ports.setOpener(machinePorts);
        board->stop();
    }
    const RunRecord& record = control->lastRun();
    if (record.portOpened) {
        emit portUsed(choice);
    }
    log.endRun(runOutcome(record, op.lastBoxTime()), op.lastBoxTime());
    return true;
}

void FormView::paintEvent(QPaintEvent* event) {
    // The area to erase, in the form's colour.
    QPainter painter(this);
    painter.fillRect(event->rect(), backgroundColour());
}

} // namespace velmora::app
