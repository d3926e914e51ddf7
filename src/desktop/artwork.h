#pragma once

#include <QIcon>

// The program's pictures: application and document icons and the toolbar's
// button faces. Each is drawn from a vector source at the size and device pixel
// ratio asked for, so it stays sharp on high-DPI screens.
namespace velmora::desktop {

QIcon applicationIcon();
// The application icon as a window's: the sizes a window manager shows
// (16 to 64 pixels) listed, so a new window draws five pictures, not eight
// up to 256 pixels; the larger ones are the installed icons' business.
QIcon windowIcon();
QIcon documentIcon();

enum class ToolbarPicture { Open, Flash, AllFlash, Write, About };

// A button face of 32 by 30 pixels (at device pixel ratio 1).
QIcon toolbarIcon(ToolbarPicture picture);

} // namespace velmora::desktop
