#include "desktop/artwork_sources.h"
#include "desktop/desktop_integration.h"

#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace velmora::desktop;
using namespace std::chrono_literals;

namespace {

QByteArray readFile(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void writeFile(const QString& path, const QByteArray& content) {
    ASSERT_TRUE(QDir().mkpath(QFileInfo(path).absolutePath()));
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    ASSERT_EQ(file.write(content), content.size());
}

void writeExecutable(const QString& path, const QByteArray& script) {
    writeFile(path, script);
    QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
}

QByteArray lineStarting(const QByteArray& text, const QByteArray& start) {
    for (const QByteArray& line : text.split('\n')) {
        if (line.startsWith(start)) {
            return line;
        }
    }
    return {};
}

// A per-user data folder and one installed data folder in a temporary folder,
// and a stand-in program to associate. Refresh tools are not found unless a
// test puts them on PATH.
class DesktopAssociation : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(root.isValid());
        places.dataHome = root.filePath("home-data");
        places.dataDirs = {root.filePath("system-data")};
        places.refreshLimit = 5000ms;
        program = root.filePath("bin/velmora");
        writeExecutable(program, "#!/bin/sh\n");
        savedPath = qgetenv("PATH");
        qputenv("PATH", QFile::encodeName(root.filePath("no-tools")));
    }
    void TearDown() override { qputenv("PATH", savedPath); }

    QString mimePackage() const { return places.dataHome + "/mime/packages/velmora.xml"; }
    QString desktopEntry() const { return places.dataHome + "/applications/velmora.desktop"; }
    QString applicationIconFile() const {
        return places.dataHome + "/icons/hicolor/scalable/apps/velmora.svg";
    }
    QString documentIconFile() const {
        return places.dataHome +
               "/icons/hicolor/scalable/mimetypes/application-x-brenlow-document.svg";
    }
    QStringList writtenFiles() const {
        return {mimePackage(), desktopEntry(), applicationIconFile(), documentIconFile()};
    }
    void installOtherMotType(const QString& dataDir, const QByteArray& globsLine) {
        writeFile(dataDir + "/mime/globs2", "# generated\n" + globsLine + "\n");
    }

    QTemporaryDir root;
    DesktopPlaces places;
    QString program;
    QByteArray savedPath;
};

} // namespace

TEST_F(DesktopAssociation, RegisterWritesTheMimeTypeEntryAndIcons) {
    ASSERT_EQ(registerDesktopAssociation(program, places), 1);

    const QByteArray mime = readFile(mimePackage());
    EXPECT_TRUE(mime.contains("<mime-type type=\"application/x-brenlow-document\">"));
    EXPECT_TRUE(mime.contains("<comment>Tessik Document</comment>"));
    EXPECT_TRUE(mime.contains("<glob pattern=\"*.mot\"/>"));
    EXPECT_TRUE(mime.contains("<icon name=\"application-x-brenlow-document\"/>"));

    const QByteArray entry = readFile(desktopEntry());
    EXPECT_TRUE(entry.startsWith("[Desktop Entry]\n"));
    EXPECT_EQ(lineStarting(entry, "Exec="), "Exec=" + QFile::encodeName(program) + " %f");
    EXPECT_EQ(lineStarting(entry, "MimeType="), "MimeType=application/x-brenlow-document;");
    EXPECT_EQ(lineStarting(entry, "Icon="), "Icon=velmora");

    EXPECT_EQ(readFile(applicationIconFile()), readFile(VELMORA_RES_DIR "/icons/velmora.svg"));
    EXPECT_EQ(readFile(documentIconFile()),
              readFile(VELMORA_RES_DIR "/icons/application-x-brenlow-document.svg"));
    EXPECT_FALSE(readFile(documentIconFile()).isEmpty());
}

TEST_F(DesktopAssociation, WrittenFilesMatchTheInstalledOnes) {
    ASSERT_EQ(registerDesktopAssociation(program, places), 1);
    // The per-user entry differs from the installed one only in the program it runs.
    QByteArray installedEntry = readFile(VELMORA_RES_DIR "/velmora.desktop");
    installedEntry.replace("Exec=velmora %f", "Exec=" + QFile::encodeName(program) + " %f");
    EXPECT_EQ(readFile(desktopEntry()), installedEntry);
    // The installed glob weighs less, so it never takes *.mot from an existing owner.
    QByteArray installedMime = readFile(VELMORA_RES_DIR "/velmora.xml");
    installedMime.replace("<glob pattern=\"*.mot\" weight=\"40\"/>", "<glob pattern=\"*.mot\"/>");
    EXPECT_EQ(readFile(mimePackage()), installedMime);
}

TEST_F(DesktopAssociation, RegisteringAgainChangesNothing) {
    ASSERT_EQ(registerDesktopAssociation(program, places), 1);
    const QDateTime old = QDateTime::currentDateTimeUtc().addDays(-3);
    std::vector<QByteArray> contents;
    for (const QString& path : writtenFiles()) {
        contents.push_back(readFile(path));
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::ReadWrite));
        ASSERT_TRUE(file.setFileTime(old, QFileDevice::FileModificationTime));
    }
    ASSERT_EQ(registerDesktopAssociation(program, places), 1);
    for (std::size_t i = 0; i < contents.size(); ++i) {
        const QString& path = writtenFiles()[int(i)];
        EXPECT_EQ(readFile(path), contents[i]) << path.toStdString();
        EXPECT_EQ(QFileInfo(path).lastModified().toUTC().toSecsSinceEpoch(), old.toSecsSinceEpoch())
            << path.toStdString() << " was rewritten";
    }
}

TEST_F(DesktopAssociation, AMovedProgramIsFollowed) {
    ASSERT_EQ(registerDesktopAssociation(program, places), 1);
    const QString moved = root.filePath("elsewhere/velmora");
    writeExecutable(moved, "#!/bin/sh\n");
    ASSERT_EQ(registerDesktopAssociation(moved, places), 1);
    EXPECT_EQ(lineStarting(readFile(desktopEntry()), "Exec="),
              "Exec=" + QFile::encodeName(moved) + " %f");
}

TEST_F(DesktopAssociation, AMotGlobOwnedByAnotherTypeKeepsItsOwner) {
    installOtherMotType(places.dataDirs[0], "50:text/x-motorola-other:*.mot");
    EXPECT_EQ(otherOwnerOfDocumentGlob(places), "text/x-motorola-other");
    ASSERT_EQ(registerDesktopAssociation(program, places), 1);
    const QByteArray mime = readFile(mimePackage());
    EXPECT_TRUE(mime.contains("<mime-type type=\"application/x-brenlow-document\">"));
    EXPECT_TRUE(mime.contains("<comment>Tessik Document</comment>"));
    EXPECT_FALSE(mime.contains("<glob")) << mime.toStdString();
    EXPECT_TRUE(QFileInfo::exists(desktopEntry()));

    // Once the other owner is gone, the next start takes the glob.
    QFile::remove(places.dataDirs[0] + "/mime/globs2");
    ASSERT_EQ(registerDesktopAssociation(program, places), 1);
    EXPECT_TRUE(readFile(mimePackage()).contains("<glob pattern=\"*.mot\"/>"));
}

TEST_F(DesktopAssociation, GlobOwnersAsTheDesktopSeesThem) {
    // Our own type, installed or per-user, owns nothing that must be kept.
    installOtherMotType(places.dataDirs[0], "40:application/x-brenlow-document:*.mot");
    EXPECT_EQ(otherOwnerOfDocumentGlob(places), "");
    // Globs match without regard to case; the older "globs" list counts too.
    installOtherMotType(places.dataDirs[0], "50:application/x-other:*.MOT:cs");
    EXPECT_EQ(otherOwnerOfDocumentGlob(places), "application/x-other");
    QFile::remove(places.dataDirs[0] + "/mime/globs2");
    writeFile(places.dataDirs[0] + "/mime/globs", "application/x-old:*.mot\n");
    EXPECT_EQ(otherOwnerOfDocumentGlob(places), "application/x-old");
    // A more preferred folder that clears a type's globs takes the glob from it.
    writeFile(places.dataHome + "/mime/globs2", "50:application/x-old:__NOGLOBS__\n");
    EXPECT_EQ(otherOwnerOfDocumentGlob(places), "");
    // Similar globs are other globs.
    writeFile(places.dataHome + "/mime/globs2", "50:application/x-m:*.mott\n50:a/b:*mot\n");
    QFile::remove(places.dataDirs[0] + "/mime/globs");
    EXPECT_EQ(otherOwnerOfDocumentGlob(places), "");
}

TEST_F(DesktopAssociation, AUserPackageNotYetCompiledOwnsTheGlob) {
    writeFile(
        places.dataHome + "/mime/packages/other.xml",
        "<?xml version=\"1.0\"?>\n"
        "<mime-info xmlns=\"http://www.freedesktop.org/standards/shared-mime-info\">\n"
        "  <mime-type type=\"application/x-other-mot\"><glob pattern=\"*.mot\"/></mime-type>\n"
        "</mime-info>\n");
    EXPECT_EQ(otherOwnerOfDocumentGlob(places), "application/x-other-mot");
    ASSERT_EQ(registerDesktopAssociation(program, places), 1);
    EXPECT_FALSE(readFile(mimePackage()).contains("<glob"));
}

TEST_F(DesktopAssociation, UnregisterRemovesWhatRegisterWrote) {
    writeFile(places.dataHome + "/applications/other.desktop", "[Desktop Entry]\n");
    ASSERT_EQ(registerDesktopAssociation(program, places), 1);
    ASSERT_EQ(unregisterDesktopAssociation(places), 1);
    for (const QString& path : writtenFiles()) {
        EXPECT_FALSE(QFileInfo::exists(path)) << path.toStdString();
    }
    EXPECT_TRUE(QFileInfo::exists(places.dataHome + "/applications/other.desktop"));
    // Nothing left to remove is no failure.
    EXPECT_EQ(unregisterDesktopAssociation(places), 1);
}

TEST_F(DesktopAssociation, UnregisterWithoutARegistrationSucceeds) {
    EXPECT_EQ(unregisterDesktopAssociation(places), 1);
    EXPECT_FALSE(QFileInfo::exists(places.dataHome));
}

TEST_F(DesktopAssociation, RefusesAProgramItCannotRun) {
    const QString notExecutable = root.filePath("bin/plain");
    writeFile(notExecutable, "data");
    const QString withNewline = root.filePath("bin/two\nlines");
    writeExecutable(withNewline, "#!/bin/sh\n");
    for (const QString& path :
         {QString(), root.filePath("bin/missing"), notExecutable, withNewline, root.path()}) {
        SCOPED_TRACE(path.toStdString());
        EXPECT_EQ(registerDesktopAssociation(path, places), 0);
    }
    EXPECT_FALSE(QFileInfo::exists(places.dataHome));
}

TEST_F(DesktopAssociation, AFolderThatCannotBeWrittenFailsQuietly) {
    writeFile(places.dataHome + "/applications", "a file where the folder should be");
    EXPECT_EQ(registerDesktopAssociation(program, places), 0);
}

TEST_F(DesktopAssociation, TakesTheDataFoldersFromTheEnvironment) {
    const QByteArray savedHome = qgetenv("XDG_DATA_HOME");
    const QByteArray savedDirs = qgetenv("XDG_DATA_DIRS");
    qputenv("XDG_DATA_HOME", QFile::encodeName(places.dataHome));
    qputenv("XDG_DATA_DIRS", QFile::encodeName(places.dataDirs[0]) + ":relative/dir:");
    const DesktopPlaces fromEnvironment = DesktopPlaces::fromEnvironment();
    EXPECT_EQ(fromEnvironment.dataHome, places.dataHome);
    EXPECT_EQ(fromEnvironment.dataDirs, places.dataDirs);
    installOtherMotType(places.dataDirs[0], "50:text/x-other:*.mot");
    EXPECT_EQ(registerDesktopAssociation(program), 1);
    EXPECT_TRUE(QFileInfo::exists(desktopEntry()));
    EXPECT_FALSE(readFile(mimePackage()).contains("<glob"));
    EXPECT_EQ(unregisterDesktopAssociation(), 1);
    EXPECT_FALSE(QFileInfo::exists(desktopEntry()));

    // A relative XDG_DATA_HOME is ignored for ~/.local/share; no XDG_DATA_DIRS
    // means the standard installed folders.
    qputenv("XDG_DATA_HOME", "relative");
    qunsetenv("XDG_DATA_DIRS");
    const DesktopPlaces defaults = DesktopPlaces::fromEnvironment();
    EXPECT_EQ(defaults.dataHome, QDir::cleanPath(qEnvironmentVariable("HOME") + "/.local/share"));
    EXPECT_EQ(defaults.dataDirs, QStringList({"/usr/local/share", "/usr/share"}));
    qputenv("XDG_DATA_HOME", savedHome);
    qputenv("XDG_DATA_DIRS", savedDirs);
    if (savedDirs.isEmpty()) {
        qunsetenv("XDG_DATA_DIRS");
    }
}

TEST_F(DesktopAssociation, AnInstalledEntryForThisProgramReplacesTheUserCopies) {
    // A start before the package was installed wrote the per-user files.
    ASSERT_EQ(registerDesktopAssociation(program, places), 1);
    const QString userOwnIcon = applicationIconFile();
    // The package's files: its entry starts the program by name, found on PATH.
    const QString system = places.dataDirs[0];
    writeFile(system + "/applications/velmora.desktop",
              readFile(VELMORA_RES_DIR "/velmora.desktop"));
    writeFile(system + "/mime/packages/velmora.xml", readFile(VELMORA_RES_DIR "/velmora.xml"));
    qputenv("PATH", QFile::encodeName(root.filePath("bin")));
    ASSERT_EQ(registerDesktopAssociation(program, places), 1);
    for (const QString& path : writtenFiles()) {
        EXPECT_FALSE(QFileInfo::exists(path)) << path.toStdString();
    }
    // Nothing is written at the next start either; a file the user changed stays.
    writeFile(userOwnIcon, "<svg>the user's own</svg>");
    ASSERT_EQ(registerDesktopAssociation(program, places), 1);
    EXPECT_FALSE(QFileInfo::exists(desktopEntry()));
    EXPECT_FALSE(QFileInfo::exists(mimePackage()));
    EXPECT_EQ(readFile(userOwnIcon), "<svg>the user's own</svg>");

    // An entry the user wrote, or the registration of another program that is
    // still there, is not this start's to remove.
    for (const QByteArray& entry :
         {QByteArray("[Desktop Entry]\nExec=" + QFile::encodeName(program) + " --my-flags %f\n"),
          readFile(VELMORA_RES_DIR "/velmora.desktop")
              .replace("Exec=velmora",
                       "Exec=" + QFile::encodeName(root.filePath("other/velmora")))}) {
        writeExecutable(root.filePath("other/velmora"), "#!/bin/sh\n");
        writeFile(desktopEntry(), entry);
        writeFile(mimePackage(), readFile(VELMORA_RES_DIR "/velmora.xml"));
        ASSERT_EQ(registerDesktopAssociation(program, places), 1);
        EXPECT_EQ(readFile(desktopEntry()), entry);
    }
    // Once that program is gone, its registration is stale.
    QFile::remove(root.filePath("other/velmora"));
    ASSERT_EQ(registerDesktopAssociation(program, places), 1);
    EXPECT_FALSE(QFileInfo::exists(desktopEntry()));
}

TEST_F(DesktopAssociation, AnInstalledEntryForAnotherProgramKeepsTheUserRegistration) {
    // A program run from a build folder beside an installed one, or an
    // installed entry without its MIME type.
    const QString system = places.dataDirs[0];
    writeExecutable(root.filePath("usr/bin/velmora"), "#!/bin/sh\n");
    writeFile(system + "/applications/velmora.desktop",
              "[Desktop Entry]\nExec=" + QFile::encodeName(root.filePath("usr/bin/velmora")) +
                  " %f\n");
    writeFile(system + "/mime/packages/velmora.xml", readFile(VELMORA_RES_DIR "/velmora.xml"));
    ASSERT_EQ(registerDesktopAssociation(program, places), 1);
    EXPECT_EQ(lineStarting(readFile(desktopEntry()), "Exec="),
              "Exec=" + QFile::encodeName(program) + " %f");
    QFile::remove(desktopEntry());
    writeFile(system + "/applications/velmora.desktop",
              "[Desktop Entry]\nExec=" + QFile::encodeName(program) + " %f\n");
    QFile::remove(system + "/mime/packages/velmora.xml");
    ASSERT_EQ(registerDesktopAssociation(program, places), 1);
    EXPECT_TRUE(QFileInfo::exists(desktopEntry()));
}

TEST(DesktopExecArgument, QuotesAndEscapesAsDesktopEntriesRequire) {
    EXPECT_EQ(desktopExecArgument("/usr/bin/velmora"), "/usr/bin/velmora");
    EXPECT_EQ(desktopExecArgument("/opt/My Tools/velmora"), "\"/opt/My Tools/velmora\"");
    EXPECT_EQ(desktopExecArgument("/opt/100%/velmora"), "/opt/100%%/velmora");
    // Inside quotes " ` $ and \ take a backslash; every backslash of the value
    // is then doubled by the string escaping of the entry.
    EXPECT_EQ(desktopExecArgument("/a\"b"), "\"/a\\\\\"b\"");
    EXPECT_EQ(desktopExecArgument("/a$b`c"), "\"/a\\\\$b\\\\`c\"");
    EXPECT_EQ(desktopExecArgument("/a\\b"), "\"/a\\\\\\\\b\"");
    EXPECT_EQ(desktopExecArgument("/a'b;c"), "\"/a'b;c\"");
    // Read back from an entry's Exec line, every one gives its path again.
    for (const char* path : {"/usr/bin/velmora", "/opt/My Tools/velmora", "/opt/100%/velmora",
                             "/a\"b", "/a$b`c", "/a\\b", "/a'b;c"}) {
        EXPECT_EQ(desktopExecProgram("[Desktop Entry]\nExec=" + desktopExecArgument(path).toUtf8() +
                                     " %f\nName=x\n"),
                  path);
    }
    EXPECT_EQ(desktopExecProgram("[Desktop Entry]\nExec=velmora %f\n"), "velmora");
    EXPECT_EQ(desktopExecProgram("[Desktop Entry]\nName=x\n"), "");
}

TEST_F(DesktopAssociation, DatabasesAreRefreshedWithTheDesktopsTools) {
    qputenv("PATH", savedPath);
    if (QStandardPaths::findExecutable("update-mime-database").isEmpty() ||
        QStandardPaths::findExecutable("update-desktop-database").isEmpty()) {
        GTEST_SKIP() << "update-mime-database or update-desktop-database not installed";
    }
    ASSERT_EQ(registerDesktopAssociation(program, places), 1);
    EXPECT_TRUE(readFile(places.dataHome + "/mime/globs2")
                    .contains("application/x-brenlow-document:*.mot"));
    EXPECT_TRUE(readFile(places.dataHome + "/applications/mimeinfo.cache")
                    .contains("application/x-brenlow-document=velmora.desktop"));
    ASSERT_EQ(unregisterDesktopAssociation(places), 1);
    EXPECT_FALSE(readFile(places.dataHome + "/mime/globs2").contains("x-brenlow-document"));
    EXPECT_FALSE(
        readFile(places.dataHome + "/applications/mimeinfo.cache").contains("velmora.desktop"));
}

TEST_F(DesktopAssociation, ARefreshToolThatHangsIsStoppedAtTheLimit) {
    const QString tools = root.filePath("slow-tools");
    writeExecutable(tools + "/update-mime-database", "#!/bin/sh\nexec sleep 60\n");
    qputenv("PATH", QFile::encodeName(tools) + ":/usr/bin:/bin");
    places.refreshLimit = 200ms;
    QElapsedTimer clock;
    clock.start();
    EXPECT_EQ(registerDesktopAssociation(program, places), 0);
    EXPECT_LT(clock.elapsed(), 30000) << "start-up waited for the tool";
    // The files themselves are in place for the desktop's next look.
    EXPECT_TRUE(QFileInfo::exists(desktopEntry()));

    // The next start builds the database it left behind, though no file changes,
    // with the real tool given the fixture's generous limit again.
    qputenv("PATH", savedPath);
    places.refreshLimit = 5000ms;
    if (QStandardPaths::findExecutable("update-mime-database").isEmpty()) {
        GTEST_SKIP() << "update-mime-database not installed";
    }
    EXPECT_EQ(registerDesktopAssociation(program, places), 1);
    EXPECT_TRUE(readFile(places.dataHome + "/mime/globs2")
                    .contains("application/x-brenlow-document:*.mot"));
}

TEST_F(DesktopAssociation, ARefreshToolThatFailsMakesRegistrationFail) {
    const QString tools = root.filePath("failing-tools");
    writeExecutable(tools + "/update-desktop-database", "#!/bin/sh\necho broken >&2\nexit 3\n");
    qputenv("PATH", QFile::encodeName(tools));
    EXPECT_EQ(registerDesktopAssociation(program, places), 0);
}

TEST_F(DesktopAssociation, EntriesPassTheDesktopEntryValidator) {
    const QString validator = QStandardPaths::findExecutable(
        "desktop-file-validate", {"/usr/bin", "/usr/local/bin", "/bin"});
    if (validator.isEmpty()) {
        GTEST_SKIP() << "desktop-file-validate not installed";
    }
    const auto validate = [&](const QString& path) {
        QProcess process;
        process.setProcessChannelMode(QProcess::MergedChannels);
        process.start(validator, {path});
        EXPECT_TRUE(process.waitForFinished(30000));
        const QByteArray output = process.readAll();
        EXPECT_EQ(process.exitCode(), 0) << output.toStdString();
        EXPECT_TRUE(output.isEmpty()) << output.toStdString();
    };
    validate(VELMORA_RES_DIR "/velmora.desktop");
    // A program whose path needs quoting and escaping.
    const QString awkward = root.filePath("My \"Tools\" $HOME 100% \\ `x`/velmora");
    writeExecutable(awkward, "#!/bin/sh\n");
    ASSERT_EQ(registerDesktopAssociation(awkward, places), 1);
    validate(desktopEntry());
}
