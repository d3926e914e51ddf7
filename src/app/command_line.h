#pragma once

#include <QString>
#include <QStringList>

namespace velmora::app {

// The start-up request of the command line. A word that begins with "-" is a
// switch; one that begins with "/" is a switch only when it is a known one
// (p, pt, dde, Unregister, Unregserver, Embedding, Automation), so that
// absolute paths stay paths. The first other word names the file.
struct CommandLineInfo {
    enum ShellCommand {
        FileNew,       // no file: a new, empty document
        FileOpen,      // open the file named
        FilePrint,     // "p": open the file hidden and end
        FilePrintTo,   // "pt" file printer driver port: as "p"
        FileDde,       // "dde": starts as without arguments
        AppUnregister, // "Unregister", "Unregserver"
    };

    ShellCommand shellCommand = FileNew;
    QString fileName;
    QString printerName;
    QString driverName;
    QString portName;
    bool runEmbedded = false;  // "Embedding": also no report box after an unregister
    bool runAutomated = false; // "Automation": accepted, no effect

    // Parses the arguments after the program's name.
    static CommandLineInfo parse(const QStringList& arguments);
};

} // namespace velmora::app
