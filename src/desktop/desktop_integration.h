#pragma once

#include <QString>
#include <QStringList>
#include <chrono>

// The desktop's association of ".mot" files with the program: a per-user MIME
// type "Tessik Document" for *.mot, a desktop entry that opens such a file with
// the running program, and the icons both show. Written at every start unless
// the program's package installed them, removed by "Unregister".
namespace velmora::desktop {

// Names shared by the per-user association and the files the package installs.
inline constexpr const char* documentMimeType = "application/x-brenlow-document";
inline constexpr const char* documentDescription = "Tessik Document";
inline constexpr const char* documentGlob = "*.mot";
inline constexpr const char* desktopEntryName = "velmora.desktop";
inline constexpr const char* mimePackageName = "velmora.xml";
inline constexpr const char* applicationIconName = "velmora";
inline constexpr const char* documentIconName = "application-x-brenlow-document";

// Where the association is written and looked up, and how long a refresh of the
// desktop's databases may take.
struct DesktopPlaces {
    QString dataHome;     // per-user data folder ($XDG_DATA_HOME)
    QStringList dataDirs; // installed data folders ($XDG_DATA_DIRS), most preferred first
    std::chrono::milliseconds refreshLimit{1000}; // per refresh tool

    // $XDG_DATA_HOME (else ~/.local/share) and $XDG_DATA_DIRS (else
    // /usr/local/share and /usr/share). dataHome is empty when neither
    // $XDG_DATA_HOME nor $HOME gives an absolute folder.
    static DesktopPlaces fromEnvironment();
};

// Writes the association for the program at programPath (an existing
// executable). Where an installed data folder already holds the entry that
// starts this program and the MIME type (the program's package), it writes
// nothing and removes the per-user files an earlier start wrote. A *.mot glob that another
// installed MIME type already owns keeps its owner: the type is still written, without the glob.
// Refreshes the MIME, desktop and icon databases where their tools exist. Returns 1 on success, 0
// when anything could not be written or refreshed; never shows anything.
int registerDesktopAssociation(const QString& programPath);
int registerDesktopAssociation(const QString& programPath, const DesktopPlaces& places);

// Removes what registration wrote. Returns 1 when it is gone or was never there.
int unregisterDesktopAssociation();
int unregisterDesktopAssociation(const DesktopPlaces& places);

// The installed MIME type other than ours whose glob is *.mot, as the desktop
// sees it; empty when there is none.
QString otherOwnerOfDocumentGlob(const DesktopPlaces& places);

// One argument of a desktop entry's Exec line, quoted and escaped as the
// desktop entry rules require.
QString desktopExecArgument(const QString& argument);
// The program a desktop entry's Exec line starts, unquoted and unescaped (a
// path, or a name to look up on PATH); empty when the entry has no Exec line.
QString desktopExecProgram(const QByteArray& entry);

} // namespace velmora::desktop
