#pragma once

#include <QSettings>
#include <QString>
#include <QStringList>
#include <memory>

namespace velmora::app {

// The per-user settings: the recent-file list, the port choice and the boot
// files folder, kept under
// the organisation "Local AppWizard-Generated Applications" and the
// application "Velmora(3062 series)".
namespace settings {

QString organization();
QString application();
// The group of the recent-file list and its entries File1 .. File4.
QString recentFileGroup();
// The key of the port choice.
QString portChoiceKey();
// The key of the boot files folder chosen in the settings dialog; none: the default.
QString bootDirKey();

std::unique_ptr<QSettings> open();
// Removes every setting of the program, its file, and the organisation's
// folder when nothing else is left in it. True when all of it is gone.
bool removeAll();

} // namespace settings

// The recent-file list: full paths of the last documents opened, newest first.
class RecentFileList {
public:
    static constexpr int size = 4;

    void read(QSettings& store);
    void write(QSettings& store) const;
    // Puts a file first; one already listed moves up; the oldest falls off.
    void add(const QString& path);
    QStringList entries() const { return files; }

private:
    QStringList files;
};

} // namespace velmora::app
