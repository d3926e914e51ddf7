#pragma once

#include <QString>

namespace velmora::app {

// The framework's commands that the menu, toolbar and keys reach, next to the
// programming control's own (CommandId in control/corvane_view.h).
enum FrameCommand : int {
    NewCommand = 57600,
    OpenCommand = 57601,
    SaveCommand = 57603,
    CopyCommand = 57634,
    CutCommand = 57635,
    PasteCommand = 57637,
    UndoCommand = 57643,
    AboutCommand = 57664,
    ExitCommand = 57665,
    NextPaneCommand = 57680,
    PreviousPaneCommand = 57681,
};

// A command's text: the status-bar prompt and, where it has one, the tooltip.
struct CommandText {
    QString prompt;
    QString tooltip; // empty: the command shows no tooltip
};

// The text of a command id; an empty prompt for an id without one.
CommandText commandText(int command);

// What a toolbar button's tooltip says: the command's tooltip part where it
// has one, else what the command does and how it differs from its neighbours.
QString buttonTooltip(int command);

// The application's name: the caption of every message box.
inline QString applicationName() {
    return QStringLiteral("Velmora(3062 series)");
}
// The window-title field shown after the document's title in the caption.
inline QString windowTitleField() {
    return QStringLiteral("Velmora");
}
// What the status bar reads when nothing is highlighted.
inline QString readyPrompt() {
    return QStringLiteral("Ready");
}

} // namespace velmora::app
