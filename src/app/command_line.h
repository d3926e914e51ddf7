#pragma once

#include <QString>
#include <QStringList>

namespace velmora::app {

// The start-up request of the command line, read by QCommandLineParser.
// Besides --help and --version, the shell's switches (p, pt, dde, Unregister,
// Unregserver, Embedding, Automation) are taken in any letter case after "-",
// "--" or "/"; a word after "/" that is no such switch is a path, so absolute
// paths stay paths. The first other word names the file; "--" ends the
// switches.
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
    // --help and --version: print and end, before anything needs a display.
    bool showHelp = false;
    bool showVersion = false;
    // Options that are none of the above, accepted and otherwise ignored.
    QStringList unknownOptions;

    // Parses the arguments after the program's name.
    static CommandLineInfo parse(const QStringList& arguments);
    // What --help prints.
    static QString helpText();
};

} // namespace velmora::app
