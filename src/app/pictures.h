#pragma once

#include <QIcon>

namespace velmora::app {

// The application's icon (the window's, the dialogs' and the about box's).
QIcon programIcon();
// The document icon (.mot files).
QIcon documentPicture();
// The toolbar picture of a command; a null icon where there is none.
QIcon toolbarPicture(int command);

} // namespace velmora::app
