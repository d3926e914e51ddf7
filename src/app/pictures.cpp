#include "app/pictures.h"

#include "app/commands.h"
#include "control/corvane_view.h"

#include <QApplication>
#include <QStyle>

#if defined(VELMORA_HAVE_ARTWORK)
#include "desktop/artwork.h"
#endif

namespace velmora::app {

#if defined(VELMORA_HAVE_ARTWORK)
QIcon programIcon() {
    return desktop::applicationIcon();
}

QIcon documentPicture() {
    return desktop::documentIcon();
}

QIcon toolbarPicture(int command) {
    using desktop::ToolbarPicture;
    switch (command) {
    case OpenCommand:
        return desktop::toolbarIcon(ToolbarPicture::Open);
    case FlashCommand:
        return desktop::toolbarIcon(ToolbarPicture::Flash);
    case AllFlashCommand:
        return desktop::toolbarIcon(ToolbarPicture::AllFlash);
    case WriteCommandCommand:
        return desktop::toolbarIcon(ToolbarPicture::Write);
    case AboutCommand:
        return desktop::toolbarIcon(ToolbarPicture::About);
    default:
        return {};
    }
}
#else
// Built without the artwork: the buttons show their texts, and the windows a
// stock picture of the style.
QIcon programIcon() {
    return QApplication::style()->standardIcon(QStyle::SP_DriveHDIcon);
}
QIcon documentPicture() {
    return {};
}
QIcon toolbarPicture(int) {
    return {};
}
#endif

} // namespace velmora::app
