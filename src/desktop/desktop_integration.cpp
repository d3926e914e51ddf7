#include "desktop/desktop_integration.h"

#include "desktop/artwork_sources.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSaveFile>
#include <QStandardPaths>
#include <QXmlStreamReader>
#include <set>
#include <vector>

namespace velmora::desktop {
namespace {

// The files registration writes, under the per-user data folder.
struct AssociationFiles {
    QString mimePackage;
    QString desktopEntry;
    QString applicationIcon;
    QString documentIcon;

    explicit AssociationFiles(const QString& dataHome)
        : mimePackage(dataHome + "/mime/packages/" + mimePackageName),
          desktopEntry(dataHome + "/applications/" + desktopEntryName),
          applicationIcon(dataHome + "/icons/hicolor/scalable/apps/" + applicationIconName +
                          ".svg"),
          documentIcon(dataHome + "/icons/hicolor/scalable/mimetypes/" + documentIconName +
                       ".svg") {}

    QStringList all() const { return {mimePackage, desktopEntry, applicationIcon, documentIcon}; }
};

QByteArray mimePackageText(bool withGlob) {
    QByteArray text =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        "<mime-info xmlns=\"http://www.freedesktop.org/standards/shared-mime-info\">\n"
        "  <mime-type type=\"";
    text += documentMimeType;
    text += "\">\n    <comment>";
    text += documentDescription;
    text += "</comment>\n    <icon name=\"";
    text += documentIconName;
    text += "\"/>\n    <sub-class-of type=\"text/plain\"/>\n";
    if (withGlob) {
        text += "    <glob pattern=\"";
        text += documentGlob;
        text += "\"/>\n";
    }
    text += "  </mime-type>\n</mime-info>\n";
    return text;
}

QByteArray desktopEntryText(const QString& execProgram) {
    QByteArray text = "[Desktop Entry]\n"
                      "Type=Application\n"
                      "Version=1.4\n"
                      "Name=Velmora\n"
                      "GenericName=Flash Programmer\n"
                      "Comment=Write S-record programs into the flash of H8/3062F boards\n"
                      "Exec=";
    text += execProgram.toUtf8();
    text += " %f\n"
            "Icon=";
    text += applicationIconName;
    text += "\n"
            "Terminal=false\n"
            "Categories=Development;Electronics;\n"
            "MimeType=";
    text += documentMimeType;
    text += ";\n"
            "Keywords=flash;programmer;H8;S-record;mot;\n";
    return text;
}

bool hasControlCharacters(const QString& text) {
    for (QChar c : text) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7f) {
            return true;
        }
    }
    return false;
}

QByteArray readAll(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return {};
    }
    return file.readAll();
}

// Writes content unless the file already holds it. Sets changed when it wrote.
bool writeIfDifferent(const QString& path, const QByteArray& content, bool& changed) {
    if (QFileInfo(path).isFile() && readAll(path) == content) {
        return true;
    }
    if (!QDir().mkpath(QFileInfo(path).absolutePath())) {
        return false;
    }
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(content) != content.size() ||
        !file.commit()) {
        return false;
    }
    changed = true;
    return true;
}

// Runs one refresh tool when it is installed. A missing tool is no failure: the
// desktop reads the files without its cache, only later. Output is dropped.
bool runRefreshTool(const QString& tool, const QStringList& arguments,
                    std::chrono::milliseconds limit) {
    const QString program = QStandardPaths::findExecutable(tool);
    if (program.isEmpty()) {
        return true;
    }
    QProcess process;
    process.setProgram(program);
    process.setArguments(arguments);
    process.setStandardInputFile(QProcess::nullDevice());
    process.setStandardOutputFile(QProcess::nullDevice());
    process.setStandardErrorFile(QProcess::nullDevice());
    process.start();
    if (!process.waitForFinished(int(limit.count()))) {
        process.kill();
        process.waitForFinished(int(limit.count()));
        return false;
    }
    return process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
}

// A database needs building when it is missing or older than a file it reads.
bool stale(const QString& database, const QStringList& inputs) {
    const QFileInfo built(database);
    if (!built.exists()) {
        return true;
    }
    for (const QString& input : inputs) {
        const QFileInfo source(input);
        if (source.exists() && source.lastModified() > built.lastModified()) {
            return true;
        }
    }
    return false;
}

// Brings the per-user MIME, desktop and icon databases up to date with the
// files; with force, whether or not they look current.
bool refreshDatabases(const DesktopPlaces& places, bool force) {
    const AssociationFiles files(places.dataHome);
    const auto limit = places.refreshLimit;
    bool ok = true;
    const QString mimeDir = places.dataHome + "/mime";
    if (QFileInfo(mimeDir + "/packages").isDir() &&
        (force || stale(mimeDir + "/mime.cache", {files.mimePackage}))) {
        ok = runRefreshTool("update-mime-database", {mimeDir}, limit) && ok;
    }
    const QString applicationsDir = places.dataHome + "/applications";
    if (QFileInfo(applicationsDir).isDir() &&
        (force || stale(applicationsDir + "/mimeinfo.cache", {files.desktopEntry}))) {
        ok = runRefreshTool("update-desktop-database", {"-q", applicationsDir}, limit) && ok;
    }
    // An icon cache, once there, hides icons added after it: bring it up to date.
    const QString hicolor = places.dataHome + "/icons/hicolor";
    const QString iconCache = hicolor + "/icon-theme.cache";
    if (QFileInfo::exists(iconCache) &&
        (force || stale(iconCache, {files.applicationIcon, files.documentIcon}))) {
        ok = runRefreshTool("gtk-update-icon-cache", {"-f", "-t", "-q", hicolor}, limit) && ok;
    }
    return ok;
}

bool isDocumentGlob(const QString& pattern) {
    return pattern.compare(QLatin1String(documentGlob), Qt::CaseInsensitive) == 0;
}

// Reads one data folder's compiled glob list ("weight:type:glob[:flags]" in
// globs2, "type:glob" in the older globs) into owners: types whose glob is
// *.mot. "__NOGLOBS__" drops the globs a less preferred folder gave a type.
void readCompiledGlobs(const QString& mimeDir, std::set<QString>& owners) {
    QString path = mimeDir + "/globs2";
    bool weighted = true;
    if (!QFileInfo(path).isFile()) {
        path = mimeDir + "/globs";
        weighted = false;
    }
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) {
        return;
    }
    while (!file.atEnd()) {
        const QString line = QString::fromUtf8(file.readLine()).trimmed();
        if (line.isEmpty() || line.startsWith('#')) {
            continue;
        }
        const QStringList fields = line.split(':');
        const int typeField = weighted ? 1 : 0;
        if (fields.size() < typeField + 2) {
            continue;
        }
        const QString& type = fields[typeField];
        const QString& glob = fields[typeField + 1];
        if (glob == QLatin1String("__NOGLOBS__")) {
            owners.erase(type);
        } else if (isDocumentGlob(glob)) {
            owners.insert(type);
        }
    }
}

// Per-user types the MIME database may not have compiled yet.
void readUserPackages(const QString& packagesDir, std::set<QString>& owners) {
    QDirIterator it(packagesDir, {"*.xml"}, QDir::Files);
    while (it.hasNext()) {
        const QString path = it.next();
        if (QFileInfo(path).fileName() == QLatin1String(mimePackageName)) {
            continue;
        }
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly)) {
            continue;
        }
        QXmlStreamReader xml(&file);
        QString type;
        while (!xml.atEnd() && !xml.hasError()) {
            if (!xml.readNextStartElement()) {
                continue;
            }
            if (xml.name() == QLatin1String("mime-type")) {
                type = xml.attributes().value("type").toString();
            } else if (xml.name() == QLatin1String("glob") && !type.isEmpty() &&
                       isDocumentGlob(xml.attributes().value("pattern").toString())) {
                owners.insert(type);
            }
        }
    }
}

// Whether an entry's program (as its Exec line names it: a path, or a name
// looked up on PATH) is the program at hand.
bool runsProgram(const QString& execProgram, const QFileInfo& program) {
    if (execProgram.isEmpty()) {
        return false;
    }
    const QString path =
        execProgram.contains('/') ? execProgram : QStandardPaths::findExecutable(execProgram);
    const QString canonical = QFileInfo(path).canonicalFilePath();
    return !canonical.isEmpty() && canonical == program.canonicalFilePath();
}

// Whether an installed data folder holds both the entry that starts this
// program and the MIME type: then the desktop has everything the per-user
// files would give it, and a per-user entry would only hide the installed one
// from later updates.
bool installedForProgram(const DesktopPlaces& places, const QFileInfo& program) {
    for (const QString& dir : places.dataDirs) {
        if (dir == places.dataHome) {
            continue;
        }
        const QString entry = dir + "/applications/" + desktopEntryName;
        if (QFileInfo(entry).isFile() &&
            QFileInfo(dir + "/mime/packages/" + mimePackageName).isFile() &&
            runsProgram(desktopExecProgram(readAll(entry)), program)) {
            return true;
        }
    }
    return false;
}

// Removes the per-user files that registration wrote for this program, or
// for a program that is no longer there. A file that differs from what
// registration writes (the user's own) stays, and so does everything while a
// per-user entry starts another program that still exists.
bool removeWrittenUserCopies(const DesktopPlaces& places, const QFileInfo& program) {
    const AssociationFiles files(places.dataHome);
    std::vector<QString> written;
    if (QFileInfo::exists(files.desktopEntry)) {
        const QByteArray entry = readAll(files.desktopEntry);
        const QString runs = desktopExecProgram(entry);
        const bool asWritten =
            !runs.isEmpty() && entry == desktopEntryText(desktopExecArgument(runs));
        const bool stale = runsProgram(runs, program) || !QFileInfo(runs).isFile();
        if (!asWritten || !stale) {
            return true;
        }
        written.push_back(files.desktopEntry);
    }
    const QByteArray mime = readAll(files.mimePackage);
    if (mime == mimePackageText(true) || mime == mimePackageText(false)) {
        written.push_back(files.mimePackage);
    }
    if (readAll(files.applicationIcon) == sources::read(sources::applicationIcon)) {
        written.push_back(files.applicationIcon);
    }
    if (readAll(files.documentIcon) == sources::read(sources::documentIcon)) {
        written.push_back(files.documentIcon);
    }
    bool removedAll = true;
    for (const QString& path : written) {
        removedAll = QFile::remove(path) && removedAll;
    }
    const bool refreshed = written.empty() || refreshDatabases(places, true);
    return removedAll && refreshed;
}

} // namespace

QString desktopExecProgram(const QByteArray& entry) {
    QString value;
    bool found = false;
    for (const QByteArray& line : entry.split('\n')) {
        if (line.startsWith("Exec=")) {
            value = QString::fromUtf8(line.mid(5));
            found = true;
            break;
        }
    }
    if (!found) {
        return {};
    }
    // The string escapes of the entry first, then the Exec quoting.
    QString unescaped;
    for (qsizetype i = 0; i < value.size(); ++i) {
        if (value[i] == '\\' && i + 1 < value.size()) {
            const QChar next = value[++i];
            unescaped += next == 's'   ? QChar(' ')
                         : next == 'n' ? QChar('\n')
                         : next == 't' ? QChar('\t')
                         : next == 'r' ? QChar('\r')
                                       : next;
        } else {
            unescaped += value[i];
        }
    }
    QString program;
    qsizetype i = 0;
    if (unescaped.startsWith('"')) {
        for (i = 1; i < unescaped.size() && unescaped[i] != '"'; ++i) {
            if (unescaped[i] == '\\' && i + 1 < unescaped.size()) {
                ++i;
            }
            program += unescaped[i];
        }
    } else {
        for (; i < unescaped.size() && unescaped[i] != ' ' && unescaped[i] != '\t'; ++i) {
            program += unescaped[i];
        }
    }
    return program.replace(QStringLiteral("%%"), QStringLiteral("%"));
}

DesktopPlaces DesktopPlaces::fromEnvironment() {
    DesktopPlaces places;
    const QString dataHome = qEnvironmentVariable("XDG_DATA_HOME");
    const QString home = qEnvironmentVariable("HOME");
    if (QDir::isAbsolutePath(dataHome)) {
        places.dataHome = QDir::cleanPath(dataHome);
    } else if (QDir::isAbsolutePath(home)) {
        places.dataHome = QDir::cleanPath(home + "/.local/share");
    }
    for (const QString& dir :
         qEnvironmentVariable("XDG_DATA_DIRS").split(':', Qt::SkipEmptyParts)) {
        if (QDir::isAbsolutePath(dir)) {
            places.dataDirs << QDir::cleanPath(dir);
        }
    }
    if (places.dataDirs.isEmpty()) {
        places.dataDirs = {"/usr/local/share", "/usr/share"};
    }
    return places;
}

QString desktopExecArgument(const QString& argument) {
    static const QString reserved = QStringLiteral(" \t\n\"'\\><~|&;$*?#()`");
    static const QString escapedInQuotes = QStringLiteral("\"`$\\");
    bool quoted = false;
    for (QChar c : argument) {
        quoted = quoted || reserved.contains(c);
    }
    QString out;
    for (QChar c : argument) {
        if (c == '%') {
            out += QStringLiteral("%%");
            continue;
        }
        if (quoted && escapedInQuotes.contains(c)) {
            out += '\\';
        }
        out += c;
    }
    if (quoted) {
        out = '"' + out + '"';
    }
    // The value is a desktop entry string, whose own escaping of backslashes
    // comes on top of the Exec quoting.
    out.replace('\\', QStringLiteral("\\\\"));
    return out;
}

QString otherOwnerOfDocumentGlob(const DesktopPlaces& places) {
    std::set<QString> owners;
    // Least preferred folder first, so the more preferred ones decide.
    for (auto dir = places.dataDirs.crbegin(); dir != places.dataDirs.crend(); ++dir) {
        readCompiledGlobs(*dir + "/mime", owners);
    }
    if (!places.dataHome.isEmpty()) {
        readCompiledGlobs(places.dataHome + "/mime", owners);
        readUserPackages(places.dataHome + "/mime/packages", owners);
    }
    owners.erase(QString::fromLatin1(documentMimeType));
    return owners.empty() ? QString() : *owners.begin();
}

int registerDesktopAssociation(const QString& programPath) {
    return registerDesktopAssociation(programPath, DesktopPlaces::fromEnvironment());
}

int registerDesktopAssociation(const QString& programPath, const DesktopPlaces& places) {
    const QFileInfo program(programPath);
    if (places.dataHome.isEmpty() || programPath.isEmpty() || !program.isFile() ||
        !program.isExecutable() || hasControlCharacters(program.absoluteFilePath())) {
        return 0;
    }
    if (installedForProgram(places, program)) {
        return removeWrittenUserCopies(places, program) ? 1 : 0;
    }
    const QByteArray applicationIcon = sources::read(sources::applicationIcon);
    const QByteArray documentIcon = sources::read(sources::documentIcon);
    if (applicationIcon.isEmpty() || documentIcon.isEmpty()) {
        return 0;
    }
    const bool takeGlob = otherOwnerOfDocumentGlob(places).isEmpty();
    const AssociationFiles files(places.dataHome);
    bool changed = false;
    const bool written =
        writeIfDifferent(files.mimePackage, mimePackageText(takeGlob), changed) &&
        writeIfDifferent(files.desktopEntry,
                         desktopEntryText(desktopExecArgument(program.absoluteFilePath())),
                         changed) &&
        writeIfDifferent(files.applicationIcon, applicationIcon, changed) &&
        writeIfDifferent(files.documentIcon, documentIcon, changed);
    // Refresh after a change, and where a database was left behind (a refresh
    // cut off at its limit, or the tool installed since).
    const bool refreshed = refreshDatabases(places, changed);
    return written && refreshed ? 1 : 0;
}

int unregisterDesktopAssociation() {
    return unregisterDesktopAssociation(DesktopPlaces::fromEnvironment());
}

int unregisterDesktopAssociation(const DesktopPlaces& places) {
    if (places.dataHome.isEmpty()) {
        return 0;
    }
    bool removedAll = true;
    bool removedAny = false;
    for (const QString& path : AssociationFiles(places.dataHome).all()) {
        if (!QFileInfo(path).isFile() && !QFileInfo(path).isSymLink()) {
            continue;
        }
        if (QFile::remove(path)) {
            removedAny = true;
        } else {
            removedAll = false;
        }
    }
    const bool refreshed = !removedAny || refreshDatabases(places, true);
    return removedAll && refreshed ? 1 : 0;
}

} // namespace velmora::desktop
