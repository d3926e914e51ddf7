// Start-up and the end of a run: the command line, files named on it, print
// and unregister requests, and the recent-file list in the per-user settings.
#include "app/command_line.h"
#include "app/corvane_doc.h"
#include "app_test_support.h"

#include <QFileInfo>
#include <QProcess>

using namespace velmora;
using namespace velmora::app;
using namespace velmora::app::testing;

Q_DECLARE_METATYPE(CommandLineInfo::ShellCommand)

namespace {

const QString reminder =
    QStringLiteral("Please check file name(upper-left corner) is correct or not!");

void clearSettings() {
    settings::removeAll();
}

} // namespace

class StartupTest : public QObject {
    Q_OBJECT
private slots:
    void init() { clearSettings(); }

    void commandLineIsParsed_data();
    void commandLineIsParsed();
    void helpAndVersionWithoutADisplay();
    void withoutArgumentsADefaultDocument();
    void aFileNamedIsLoadedBeforeTheWindowShows();
    void aFileThatCannotBeOpenedEndsStartUp();
    void printRequestsOpenHiddenAndEnd();
    void recentFileListAfterFiveOpens();
    void unregisterRemovesTheSettingsAndReports();
    void unregisterFromTheProgramItself();
};

void StartupTest::commandLineIsParsed_data() {
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<CommandLineInfo::ShellCommand>("command");
    QTest::addColumn<QString>("file");
    QTest::addColumn<bool>("embedded");

    using C = CommandLineInfo;
    QTest::newRow("nothing") << QStringList{} << C::FileNew << QString() << false;
    QTest::newRow("file") << QStringList{"a.mot"} << C::FileOpen << "a.mot" << false;
    QTest::newRow("absolute path is no switch")
        << QStringList{"/home/op/a.mot"} << C::FileOpen << "/home/op/a.mot" << false;
    QTest::newRow("path named like a switch word")
        << QStringList{"/p/a.mot"} << C::FileOpen << "/p/a.mot" << false;
    QTest::newRow("print") << QStringList{"/p", "a.mot"} << C::FilePrint << "a.mot" << false;
    QTest::newRow("print dashed") << QStringList{"-p", "a.mot"} << C::FilePrint << "a.mot" << false;
    QTest::newRow("print to") << QStringList{"/pt", "a.mot", "printer", "driver", "port"}
                              << C::FilePrintTo << "a.mot" << false;
    QTest::newRow("unregister") << QStringList{"/Unregister"} << C::AppUnregister << QString()
                                << false;
    QTest::newRow("unregserver any case")
        << QStringList{"-UNREGSERVER"} << C::AppUnregister << QString() << false;
    QTest::newRow("unregister embedded")
        << QStringList{"/unregister", "/Embedding"} << C::AppUnregister << QString() << true;
    QTest::newRow("dde starts as without arguments")
        << QStringList{"/dde", "a.mot"} << C::FileNew << QString() << false;
    QTest::newRow("automation") << QStringList{"/Automation"} << C::FileNew << QString() << false;
    QTest::newRow("unknown dashed switch")
        << QStringList{"-q", "a.mot"} << C::FileOpen << "a.mot" << false;
    QTest::newRow("print to, dashed in capitals")
        << QStringList{"-PT", "a.mot", "printer", "driver", "port"} << C::FilePrintTo << "a.mot"
        << false;
    QTest::newRow("the last request decides")
        << QStringList{"/Unregister", "/p", "a.mot"} << C::FilePrint << "a.mot" << false;
    QTest::newRow("-- ends the switches")
        << QStringList{"--", "/p", "--help"} << C::FileOpen << "/p" << false;
}

void StartupTest::commandLineIsParsed() {
    QFETCH(QStringList, arguments);
    QFETCH(CommandLineInfo::ShellCommand, command);
    QFETCH(QString, file);
    QFETCH(bool, embedded);
    const CommandLineInfo info = CommandLineInfo::parse(arguments);
    QCOMPARE(info.shellCommand, command);
    QCOMPARE(info.fileName, file);
    QCOMPARE(info.runEmbedded, embedded);
    QVERIFY(!info.showHelp && !info.showVersion);
    QCOMPARE(info.unknownOptions, arguments.contains("-q") ? QStringList{"q"} : QStringList{});
    if (command == CommandLineInfo::FilePrintTo) {
        QCOMPARE(info.printerName, QStringLiteral("printer"));
        QCOMPARE(info.driverName, QStringLiteral("driver"));
        QCOMPARE(info.portName, QStringLiteral("port"));
    }
}

void StartupTest::helpAndVersionWithoutADisplay() {
    QVERIFY(CommandLineInfo::parse({"a.mot", "-h"}).showHelp);
    QVERIFY(CommandLineInfo::parse({"--version"}).showVersion);
    QVERIFY(!CommandLineInfo::parse({"--", "--help"}).showHelp);
    // The program answers and ends before anything needs a display.
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) {
        environment.remove(name);
    }
    for (const QString& argument : {QStringLiteral("--help"), QStringLiteral("--version")}) {
        QProcess program;
        program.setProcessEnvironment(environment);
        program.start(QStringLiteral(VELMORA_PROGRAM), {argument});
        QVERIFY(program.waitForFinished(60000));
        const QByteArray out = program.readAllStandardOutput();
        QVERIFY2(program.exitStatus() == QProcess::NormalExit && program.exitCode() == 0,
                 program.readAllStandardError().constData());
        if (argument == QLatin1String("--version")) {
            QCOMPARE(out, QByteArray("velmora " VELMORA_VERSION "\n"));
        } else {
            QVERIFY2(out.contains("[options] [file]"), out.constData());
            QVERIFY(out.contains("/Unregister, /Unregserver"));
            QVERIFY(out.contains("--version"));
        }
    }
}

void StartupTest::withoutArgumentsADefaultDocument() {
    AppRig rig;
    dataReady = 1; // a new document clears it
    QVERIFY(rig.start());
    QVERIFY(rig.frame()->isVisible());
    QCOMPARE(rig.frame()->windowTitle(), QStringLiteral("Default - Velmora"));
    QCOMPARE(dataReady, 0);
    QVERIFY(!QFile::exists(rig.path("tmp.bin")));
    QVERIFY(rig.watcher.boxes.isEmpty());
}

void StartupTest::aFileNamedIsLoadedBeforeTheWindowShows() {
    AppRig rig;
    const QString file = rig.exampleCopy("named.mot");
    QVERIFY(rig.start({file}));
    QCOMPARE(rig.watcher.texts(), QStringList{reminder});
    QVERIFY(!rig.watcher.boxes[0].frameVisible);
    QVERIFY(rig.frame()->isVisible());
    QCOMPARE(rig.frame()->windowTitle(), QStringLiteral("named.mot - Velmora"));
    QCOMPARE(dataReady, 1);
    QCOMPARE(rig.app->recentFiles().entries(), QStringList{QFileInfo(file).absoluteFilePath()});
}

void StartupTest::aFileThatCannotBeOpenedEndsStartUp() {
    {
        AppRig rig;
        const QString missing = rig.path("missing.mot");
        QVERIFY(!rig.start({missing}));
        QCOMPARE(rig.watcher.texts(), (QStringList{missing + " was not found.", "File Open fail"}));
        QVERIFY(!rig.watcher.boxes[0].frameVisible);
        QVERIFY(rig.frame() == nullptr);
        QCOMPARE(rig.app->startupExitCode(), 1);
    }

    // A file that opens but does not load ends start-up too.
    AppRig empty;
    QFile(empty.path("empty.mot")).open(QIODevice::WriteOnly);
    QVERIFY(!empty.start({empty.path("empty.mot")}));
    QCOMPARE(empty.watcher.texts(), QStringList{"Mot File Error (not S19 format) !"});
    QVERIFY(empty.frame() == nullptr);
}

void StartupTest::printRequestsOpenHiddenAndEnd() {
    {
        AppRig rig;
        const QString file = rig.exampleCopy("print.mot");
        QVERIFY(!rig.start({"/p", file}));
        QCOMPARE(rig.watcher.texts(), QStringList{reminder});
        QVERIFY(!rig.watcher.boxes[0].frameVisible);
        QCOMPARE(rig.app->startupExitCode(), 0);
        QVERIFY(rig.frame() == nullptr);
        QVERIFY(QFile::exists(rig.path("tmp.bin")));
    }
    {
        AppRig rig;
        const QString file = rig.exampleCopy("print.mot");
        QVERIFY(!rig.start({"/pt", file, "printer", "driver", "port"}));
        QCOMPARE(rig.watcher.texts(), QStringList{reminder});
        QCOMPARE(rig.app->startupExitCode(), 0);
    }
    {
        AppRig rig;
        const QString missing = rig.path("missing.mot");
        QVERIFY(!rig.start({"/p", missing}));
        QCOMPARE(rig.watcher.texts(), (QStringList{missing + " was not found.", "File Open fail"}));
        QCOMPARE(rig.app->startupExitCode(), 1);
    }
}

void StartupTest::recentFileListAfterFiveOpens() {
    QStringList opened;
    {
        AppRig rig;
        QVERIFY(rig.start());
        for (int i = 1; i <= 5; ++i) {
            const QString file = rig.exampleCopy(QStringLiteral("program%1.mot").arg(i));
            QVERIFY(rig.app->openDocumentFile(file));
            opened << QFileInfo(file).absoluteFilePath();
        }
        // The same file again moves up rather than taking two places.
        QVERIFY(rig.app->openDocumentFile(opened[3]));
        rig.app->exitInstance();
        auto store = settings::open();
        store->beginGroup(settings::recentFileGroup());
        QCOMPARE(store->value("File1").toString(), opened[3]);
        QCOMPARE(store->value("File2").toString(), opened[4]);
        QCOMPARE(store->value("File3").toString(), opened[2]);
        QCOMPARE(store->value("File4").toString(), opened[1]);
        QVERIFY(!store->contains("File5"));
        QVERIFY(store->fileName().contains("Local AppWizard-Generated Applications"));
        QVERIFY(store->fileName().contains("Velmora(3062 series)"));
        rig.app.reset();
    }
    // Read back at the next start.
    AppRig again;
    QVERIFY(again.start());
    QCOMPARE(again.app->recentFiles().entries(),
             (QStringList{opened[3], opened[4], opened[2], opened[1]}));
}

void StartupTest::unregisterRemovesTheSettingsAndReports() {
    QString fileName;
    {
        auto store = settings::open();
        store->setValue("Recent File List/File1", "/somewhere/a.mot");
        store->setValue(settings::portChoiceKey(), "sim");
        store->sync();
        fileName = store->fileName();
    }
    QVERIFY(QFile::exists(fileName));
    {
        AppRig rig;
        QVERIFY(!rig.start({"/Unregister"}));
        QCOMPARE(rig.watcher.boxes.size(), 1);
        QVERIFY(rig.watcher.texts()[0].contains("removed"));
        QCOMPARE(rig.watcher.boxes[0].title, QStringLiteral("Velmora(3062 series)"));
        QCOMPARE(rig.app->startupExitCode(), 0);
        rig.app->exitInstance(); // writes nothing after an unregister
        rig.app.reset();
    }
    QVERIFY(!QFile::exists(fileName));
    QVERIFY(!QFileInfo::exists(QFileInfo(fileName).path()));

    // With "Embedding" the result is not reported.
    AppRig quiet;
    QVERIFY(!quiet.start({"/Unregserver", "/Embedding"}));
    QVERIFY(quiet.watcher.boxes.isEmpty());
}

void StartupTest::unregisterFromTheProgramItself() {
    // The program as installed: "/Unregister /Embedding" ends without a window
    // or a box, and the settings are gone.
    QTemporaryDir home;
    const QString config = home.path() + "/config";
    {
        QSettings store(config + "/" + settings::organization() + "/" + settings::application() +
                            ".conf",
                        QSettings::IniFormat);
        store.setValue("Recent File List/File1", "/somewhere/a.mot");
    }
    QProcess program;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("XDG_CONFIG_HOME", config);
    environment.insert("XDG_DATA_HOME", home.path() + "/data");
    environment.insert("HOME", home.path());
    environment.insert("QT_QPA_PLATFORM", "offscreen");
    program.setProcessEnvironment(environment);
    program.start(QStringLiteral(VELMORA_PROGRAM), {"/Unregister", "/Embedding"});
    QVERIFY(program.waitForFinished(60000));
    QCOMPARE(program.exitStatus(), QProcess::NormalExit);
    QCOMPARE(program.exitCode(), 0);
    QVERIFY(!QFileInfo::exists(config + "/" + settings::organization()));
}

VELMORA_APP_TEST_MAIN(StartupTest)
#include "startup_test.moc"
