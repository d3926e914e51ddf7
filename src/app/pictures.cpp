#include "app/pictures.h"

#include "app/commands.h"
#include "control/corvane_view.h"
#include "desktop/artwork.h"

namespace velmora::app {

QIcon programIcon() {
    return desktop::applicationIcon();
}

QIcon programWindowIcon() {
    return desktop::windowIcon();
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

} // namespace velmora::app
