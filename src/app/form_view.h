#pragma once

#include "app/qt_operator.h"
#include "control/corvane_view.h"
#include "core/places.h"
#include "core/timing.h"
#include "image/image_summary.h"
#include "serial/ms_comm.h"
#include "sim/board_options.h"

#include <QStringList>
#include <QWidget>
#include <filesystem>
#include <memory>

class QLabel;

namespace velmora {
class SerialPort;
class SimulatedBoard;
} // namespace velmora

namespace velmora::app {

class PortChooser;

// The program a run will write, as the form shows it: the file, what its
// image holds, and the warnings its load gave (kept while it is loaded).
struct LoadedProgram {
    QString path;
    ImageSummary image;
    QStringList warnings;
};

// The form view: the programming control of the window. It paints the form's
// background, holds the port chooser where the communications control sat,
// and carries out the control's commands on the chosen port, with a simulated
// board started for the run when "Simulated board" is chosen.
class FormView : public QWidget {
    Q_OBJECT
public:
    // The form, in dialog units.
    static constexpr int formWidth = 274;
    static constexpr int formHeight = 57;
    static QColor backgroundColour() { return {128, 64, 0}; }

    FormView(QtOperator& qtOperator, SerialPort& port, Places places, Timing runTiming,
             BoardOptions simulatedBoard, QWidget* parent = nullptr);
    ~FormView() override;

    CCorvaneView& view() { return *control; }
    const CCorvaneView& view() const { return *control; }
    CMSComm& comm() { return commControl; }
    PortChooser& portChooser() { return *chooser; }
    QLabel* portLabel() const { return label; }

    // Where the boot program and PreFlash.bin are read from; takes effect at
    // once unless a run is under way (false then).
    bool setBootDir(const std::filesystem::path& folder);
    std::filesystem::path bootDir() const { return control->places().bootDir; }

    // What the form says under the port: what the loaded program will write,
    // or, with nothing loaded, what to do first.
    void showLoaded(const LoadedProgram& program);
    void showNothingLoaded();
    static QString summaryText(const LoadedProgram& program);
    static QString firstStepsText();
    QLabel* summaryLabel() const { return summary; }
    // The line rate of the writes of Flash, All flash and Write command.
    static constexpr int writeBaud = 9600;

    QSize minimumSizeHint() const override;
    QSize sizeHint() const override { return minimumSizeHint(); }

    // The port the form starts with when the operator has chosen none (empty
    // when a choice was kept): a run on it says it took the default.
    void setDefaultChoice(const QString& choice) { defaultChoice = choice; }

    // What the board started for a run with "Simulated board" plays (pace, faults).
    void setSimulatedBoardOptions(BoardOptions options) {
        simulatedBoardOptions = std::move(options);
    }

    // The commands the programming control has handlers for.
    static bool handlesCommand(int command);
    // Carries out one of them on the chosen port; false when dropped by its rule.
    bool runCommand(int command);

signals:
    // A run went out on this port choice: the one to keep for the next start.
    void portUsed(const QString& choice);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    void portChoiceChanged();
    void makeControl(Places places);

    QtOperator& op;
    SerialPort& serialPort;
    CMSComm commControl;
    Timing timing;
    std::unique_ptr<CCorvaneView> control;
    BoardOptions simulatedBoardOptions;
    PortChooser* chooser = nullptr;
    QLabel* label = nullptr;
    QLabel* summary = nullptr;
    QString loadedPath;
    QString defaultChoice;
};

} // namespace velmora::app
