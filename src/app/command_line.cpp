#include "app/command_line.h"

#include <QCommandLineParser>

namespace velmora::app {

namespace {

// The shell's switches; the parser knows them by their lower-case names.
constexpr const char* shellSwitches[] = {"p",           "pt",        "dde",       "Unregister",
                                         "Unregserver", "Embedding", "Automation"};

// The parser's name of a shell switch word in any letter case; empty for other words.
QString shellSwitchName(const QString& word) {
    for (const char* known : shellSwitches) {
        if (word.compare(QLatin1String(known), Qt::CaseInsensitive) == 0) {
            return QString::fromLatin1(known).toLower();
        }
    }
    return {};
}

// Single-dash words are whole option names ("-pt" is pt, not -p -t), as the
// shell passes them.
void setUp(QCommandLineParser& parser) {
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    parser.setApplicationDescription(QStringLiteral(
        "Velmora(3062 series): loads S-record programs (.mot) and writes them into the\n"
        "flash of H8/3062F boards.\n"
        "\n"
        "Switches of the desktop shell (after -, -- or /, in any letter case):\n"
        "  /p FILE                      print FILE: there is no printing, so FILE is loaded\n"
        "                               without showing the window and the program ends\n"
        "  /pt FILE PRINTER DRIVER PORT as /p\n"
        "  /dde                         start as without arguments\n"
        "  /Unregister, /Unregserver    remove the .mot association and the settings, report\n"
        "                               the result and end\n"
        "  /Embedding                   with /Unregister: no report\n"
        "  /Automation                  accepted, without effect"));
    parser.addOption(QCommandLineOption({QStringLiteral("h"), QStringLiteral("help")},
                                        QStringLiteral("Print this help and exit.")));
    parser.addOption(QCommandLineOption({QStringLiteral("v"), QStringLiteral("version")},
                                        QStringLiteral("Print the version and exit.")));
    for (const char* known : shellSwitches) {
        QCommandLineOption option(QString::fromLatin1(known).toLower());
        option.setFlags(QCommandLineOption::HiddenFromHelp);
        parser.addOption(option);
    }
    parser.addPositionalArgument(QStringLiteral("file"),
                                 QStringLiteral("S-record program (.mot) to open."),
                                 QStringLiteral("[file]"));
}

} // namespace

CommandLineInfo CommandLineInfo::parse(const QStringList& arguments) {
    // The shell's spellings become the parser's: "/Unregister" is --unregister.
    QStringList words{QStringLiteral("velmora")};
    bool switchesEnded = false;
    for (const QString& argument : arguments) {
        switchesEnded = switchesEnded || argument == QLatin1String("--");
        const qsizetype lead = argument.startsWith(QLatin1String("--"))               ? 2
                               : argument.startsWith('-') || argument.startsWith('/') ? 1
                                                                                      : 0;
        const QString name =
            lead && !switchesEnded ? shellSwitchName(argument.mid(lead)) : QString();
        words << (name.isEmpty() ? argument : QStringLiteral("--") + name);
    }
    QCommandLineParser parser;
    setUp(parser);
    // A parse error is an unknown option or a value given to a switch: both
    // are ignored, as the shell's parser did.
    parser.parse(words);

    CommandLineInfo info;
    info.unknownOptions = parser.unknownOptionNames();
    // The last of the request switches decides.
    for (const QString& name : parser.optionNames()) {
        if (name == QLatin1String("h") || name == QLatin1String("help")) {
            info.showHelp = true;
        } else if (name == QLatin1String("v") || name == QLatin1String("version")) {
            info.showVersion = true;
        } else if (name == QLatin1String("pt")) {
            info.shellCommand = FilePrintTo;
        } else if (name == QLatin1String("p")) {
            info.shellCommand = FilePrint;
        } else if (name == QLatin1String("unregister") || name == QLatin1String("unregserver")) {
            info.shellCommand = AppUnregister;
        } else if (name == QLatin1String("dde")) {
            info.shellCommand = FileDde;
        } else if (name == QLatin1String("embedding")) {
            info.runEmbedded = true;
        } else if (name == QLatin1String("automation")) {
            info.runAutomated = true;
        }
    }
    const QStringList plain = parser.positionalArguments();
    QString* const fields[] = {&info.fileName, &info.printerName, &info.driverName, &info.portName};
    for (qsizetype i = 0; i < plain.size() && i < qsizetype(std::size(fields)); ++i) {
        *fields[i] = plain[i];
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

QString CommandLineInfo::helpText() {
    QCommandLineParser parser;
    setUp(parser);
    return parser.helpText();
}

} // namespace velmora::app
