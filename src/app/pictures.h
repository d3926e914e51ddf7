#pragma once

#include <QIcon>

namespace velmora::app {

// The application's icon (the dialogs' and the about box's).
QIcon programIcon();
// The same as the windows' icon, at the sizes a window manager shows.
QIcon programWindowIcon();
// The document icon (.mot files).
QIcon documentPicture();
// The toolbar picture of a command; a null icon where there is none.
QIcon toolbarPicture(int command);

} // namespace velmora::app
