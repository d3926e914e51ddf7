#include "app/command_line.h"

namespace velmora::app {

namespace {

bool same(const QString& word, const char* known) {
    return word.compare(QLatin1String(known), Qt::CaseInsensitive) == 0;
}

bool isKnownSwitch(const QString& word) {
    for (const char* known :
         {"p", "pt", "dde", "Unregister", "Unregserver", "Embedding", "Automation"}) {
        if (same(word, known)) {
            return true;
        }
    }
    return false;
}

} // namespace

CommandLineInfo CommandLineInfo::parse(const QStringList& arguments) {
    CommandLineInfo info;
    int plainWords = 0;
    for (const QString& argument : arguments) {
        const bool dashed = argument.startsWith(QLatin1Char('-')) && argument.size() > 1;
        const bool slashed =
            argument.startsWith(QLatin1Char('/')) && isKnownSwitch(argument.mid(1));
        if (dashed || slashed) {
            const QString word = argument.mid(1);
            if (same(word, "pt")) {
                info.shellCommand = FilePrintTo;
            } else if (same(word, "p")) {
                info.shellCommand = FilePrint;
            } else if (same(word, "Unregister") || same(word, "Unregserver")) {
                info.shellCommand = AppUnregister;
            } else if (same(word, "dde")) {
                info.shellCommand = FileDde;
            } else if (same(word, "Embedding")) {
                info.runEmbedded = true;
            } else if (same(word, "Automation")) {
                info.runAutomated = true;
            }
            // Other switches are accepted and ignored.
            continue;
        }
        switch (plainWords++) {
        case 0:
            info.fileName = argument;
            break;
        case 1:
            info.printerName = argument;
            break;
        case 2:
            info.driverName = argument;
            break;
        case 3:
            info.portName = argument;
            break;
        default:
            break;
        }
    }
    if (info.shellCommand == FileNew && !info.fileName.isEmpty()) {
        info.shellCommand = FileOpen;
    }
    if (info.shellCommand == FileDde) {
        // Starts as without arguments.
        info.shellCommand = FileNew;
        info.fileName.clear();
    }
    return info;
}

} // namespace velmora::app
