#include "app/commands.h"

#include "control/corvane_view.h"

namespace velmora::app {

CommandText commandText(int command) {
    switch (command) {
    case WriteToFlashCommand:
        return {QStringLiteral("Write Data To Flash ROM"), {}};
    case StartProgrammingCommand:
        return {QStringLiteral("Start to programming flash ROM"), QStringLiteral("Send")};
    case SetBootModeCommand:
        return {QStringLiteral("Flash Action Setting"), {}};
    case SetUserModeCommand:
        return {QStringLiteral("User Mode Setting"), {}};
    case 32804:
        return {QStringLiteral("38400 Baud Rate"), {}};
    case FlashCommand:
        return {QStringLiteral("Flash"), {}};
    case AllFlashCommand:
        return {QStringLiteral("All flash"), {}};
    case WriteCommandCommand:
        return {QStringLiteral("Write command"), {}};
    case NewCommand:
        return {QStringLiteral("Create a new document"), QStringLiteral("New")};
    case OpenCommand:
        return {QStringLiteral("Open an existing document"), QStringLiteral("Open")};
    case SaveCommand:
        return {QStringLiteral("Save the active document"), QStringLiteral("Save")};
    case AboutCommand:
        return {QStringLiteral("Display program information and version"), QStringLiteral("About")};
    case ExitCommand:
        return {QStringLiteral("Quit the application"), QStringLiteral("Exit")};
    default:
        return {};
    }
}

QString buttonTooltip(int command) {
    switch (command) {
    case FlashCommand:
        return QStringLiteral("Flash (F): sends the trigger word that puts the board's firmware "
                              "into its reflash mode, then writes the loaded program");
    case AllFlashCommand:
        return QStringLiteral("All flash: as Flash, with the firmware's other trigger word");
    case WriteCommandCommand:
        return QStringLiteral("Write command: writes the loaded program to a board already in "
                              "its reflash mode; sends no trigger word");
    default:
        return commandText(command).tooltip;
    }
}

} // namespace velmora::app
