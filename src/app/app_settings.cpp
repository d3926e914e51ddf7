#include "app/app_settings.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace velmora::app {

namespace settings {

QString organization() {
    return QStringLiteral("Local AppWizard-Generated Applications");
}

QString application() {
    return QStringLiteral("Velmora(3062 series)");
}

QString recentFileGroup() {
    return QStringLiteral("Recent File List");
}

QString portChoiceKey() {
    return QStringLiteral("Settings/Port");
}

QString bootDirKey() {
    return QStringLiteral("Settings/BootDir");
}

std::unique_ptr<QSettings> open() {
    return std::make_unique<QSettings>(QSettings::NativeFormat, QSettings::UserScope,
                                       organization(), application());
}

bool removeAll() {
    QString fileName;
    {
        auto store = open();
        fileName = store->fileName();
        store->clear();
        store->sync();
    }
    bool removed = !QFileInfo::exists(fileName) || QFile::remove(fileName);
    // The organisation's folder goes too when it holds nothing else.
    const QDir folder = QFileInfo(fileName).dir();
    if (folder.exists() && folder.dirName() == organization() &&
        folder.isEmpty(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot)) {
        removed = QDir().rmdir(folder.path()) && removed;
    }
    return removed;
}

} // namespace settings

void RecentFileList::read(QSettings& store) {
    files.clear();
    store.beginGroup(settings::recentFileGroup());
    for (int entry = 1; entry <= size; ++entry) {
        const QString file = store.value(QStringLiteral("File%1").arg(entry)).toString();
        if (!file.isEmpty()) {
            files.append(file);
        }
    }
    store.endGroup();
}

void RecentFileList::write(QSettings& store) const {
    store.beginGroup(settings::recentFileGroup());
    for (int entry = 1; entry <= size; ++entry) {
        const QString key = QStringLiteral("File%1").arg(entry);
        if (entry <= files.size()) {
            store.setValue(key, files.at(entry - 1));
        } else {
            store.remove(key);
        }
    }
    store.endGroup();
    store.sync();
}

void RecentFileList::add(const QString& path) {
    const QString full = QFileInfo(path).absoluteFilePath();
    files.removeAll(full);
    files.prepend(full);
    while (files.size() > size) {
        files.removeLast();
    }
}

} // namespace velmora::app
