#pragma once

// Where the artwork's SVG sources sit in the program's resources. The same files
// are installed as the scalable hicolor icons.
namespace velmora::desktop::sources {

// The main sources are drawn on a 48 pixel grid; the small sizes have sources
// of their own, drawn on their pixel grid so that they stay sharp.
inline constexpr const char* applicationIcon = ":/velmora/icons/velmora.svg";
inline constexpr const char* applicationIcon16 = ":/velmora/icons/velmora-16.svg";
inline constexpr const char* applicationIcon24 = ":/velmora/icons/velmora-24.svg";
inline constexpr const char* applicationIcon32 = ":/velmora/icons/velmora-32.svg";
inline constexpr const char* documentIcon = ":/velmora/icons/application-x-brenlow-document.svg";
inline constexpr const char* documentIcon16 =
    ":/velmora/icons/application-x-brenlow-document-16.svg";
inline constexpr const char* documentIcon24 =
    ":/velmora/icons/application-x-brenlow-document-24.svg";
inline constexpr const char* documentIcon32 =
    ":/velmora/icons/application-x-brenlow-document-32.svg";

inline constexpr const char* toolbarOpen = ":/velmora/toolbar/open.svg";
inline constexpr const char* toolbarFlash = ":/velmora/toolbar/flash.svg";
inline constexpr const char* toolbarAllFlash = ":/velmora/toolbar/allflash.svg";
inline constexpr const char* toolbarWrite = ":/velmora/toolbar/write.svg";
inline constexpr const char* toolbarAbout = ":/velmora/toolbar/about.svg";

} // namespace velmora::desktop::sources

#include <QByteArray>

namespace velmora::desktop::sources {

// The bytes of one source; empty when it is not among the resources.
QByteArray read(const char* resourcePath);

} // namespace velmora::desktop::sources
