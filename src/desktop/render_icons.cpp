// Renders the program's artwork into PNG files: the hicolor icon sizes the
// package installs (--hicolor DIR), or every picture at device pixel ratios 1,
// 1.5 and 2 plus a sheet of all of them to look at (--preview DIR).
#include "desktop/artwork.h"

#include <QDir>
#include <QGuiApplication>
#include <QPainter>
#include <QPixmap>
#include <QTemporaryDir>
#include <cstdio>
#include <utility>
#include <vector>

namespace {

using velmora::desktop::ToolbarPicture;

const int hicolorSizes[] = {16, 22, 24, 32, 48, 64, 128, 256};

bool savePixmap(const QPixmap& pixmap, const QString& path) {
    if (!QDir().mkpath(QFileInfo(path).absolutePath()) || !pixmap.save(path, "PNG")) {
        std::fprintf(stderr, "velmora-render-icons: cannot write %s\n", qPrintable(path));
        return false;
    }
    return true;
}

bool renderHicolor(const QString& dir) {
    const QIcon app = velmora::desktop::applicationIcon();
    const QIcon document = velmora::desktop::documentIcon();
    for (int size : hicolorSizes) {
        const QString folder = QStringLiteral("%1/%2x%2").arg(dir).arg(size);
        if (!savePixmap(app.pixmap(QSize(size, size), 1.0), folder + "/apps/velmora.png") ||
            !savePixmap(document.pixmap(QSize(size, size), 1.0),
                        folder + "/mimetypes/application-x-brenlow-document.png")) {
            return false;
        }
    }
    return true;
}

std::vector<std::pair<QString, ToolbarPicture>> toolbarPictures() {
    return {{"open", ToolbarPicture::Open},
            {"flash", ToolbarPicture::Flash},
            {"allflash", ToolbarPicture::AllFlash},
            {"write", ToolbarPicture::Write},
            {"about", ToolbarPicture::About}};
}

// The five faces side by side on a toolbar-grey strip, as the window shows them.
QPixmap toolbarStrip(qreal scale, QIcon::Mode mode) {
    const QSize face(32, 30);
    QPixmap strip(QSize(5 * 36 + 4, 38) * scale);
    strip.setDevicePixelRatio(scale);
    strip.fill(QColor(0xef, 0xef, 0xef));
    QPainter painter(&strip);
    int x = 4;
    for (const auto& [name, picture] : toolbarPictures()) {
        painter.drawPixmap(QPoint(x, 4),
                           velmora::desktop::toolbarIcon(picture).pixmap(face, scale, mode));
        x += 36;
    }
    return strip;
}

bool renderPreview(const QString& dir) {
    const qreal scales[] = {1.0, 1.5, 2.0};
    bool ok = true;
    for (qreal scale : scales) {
        const QString suffix = QStringLiteral("@%1x.png").arg(scale);
        for (const auto& [name, picture] : toolbarPictures()) {
            const QIcon icon = velmora::desktop::toolbarIcon(picture);
            ok = savePixmap(icon.pixmap(QSize(32, 30), scale), dir + "/toolbar-" + name + suffix) &&
                 ok;
        }
        const QPixmap strip = toolbarStrip(scale, QIcon::Normal);
        ok = savePixmap(strip, dir + "/toolbar-strip" + suffix) && ok;
        // Magnified without smoothing, to judge the pixels.
        ok = savePixmap(
                 strip.scaled(strip.size() * 6, Qt::IgnoreAspectRatio, Qt::FastTransformation),
                 dir + "/toolbar-strip-magnified" + suffix) &&
             ok;
        ok = savePixmap(toolbarStrip(scale, QIcon::Disabled),
                        dir + "/toolbar-strip-disabled" + suffix) &&
             ok;
        ok = savePixmap(velmora::desktop::applicationIcon().pixmap(QSize(48, 48), scale),
                        dir + "/application" + suffix) &&
             ok;
        ok = savePixmap(velmora::desktop::documentIcon().pixmap(QSize(48, 48), scale),
                        dir + "/document" + suffix) &&
             ok;
    }
    // Every hicolor size of both icons in one row each, on white and on dark.
    int width = 8;
    for (int size : hicolorSizes) {
        width += size + 8;
    }
    QPixmap sheet(width, 2 * (256 + 16) * 2);
    sheet.fill(Qt::white);
    QPainter painter(&sheet);
    painter.fillRect(QRect(0, 2 * (256 + 16), width, 2 * (256 + 16)), QColor(0x30, 0x33, 0x38));
    const QIcon icons[] = {velmora::desktop::applicationIcon(), velmora::desktop::documentIcon()};
    for (int band = 0; band < 2; ++band) {
        for (int row = 0; row < 2; ++row) {
            int x = 8;
            const int y = band * 2 * (256 + 16) + row * (256 + 16) + 8;
            for (int size : hicolorSizes) {
                painter.drawPixmap(QPoint(x, y), icons[row].pixmap(QSize(size, size), 1.0));
                x += size + 8;
            }
        }
    }
    painter.end();
    ok = savePixmap(sheet, dir + "/icon-sizes.png") && ok;

    // The small sizes magnified without smoothing, on white.
    const int smallSizes[] = {16, 22, 24, 32};
    const int zoom = 8;
    QPixmap small((16 + 22 + 24 + 32 + 5 * 2) * zoom, (2 * 32 + 3 * 2) * zoom);
    small.fill(Qt::white);
    QPainter smallPainter(&small);
    for (int row = 0; row < 2; ++row) {
        int x = 2;
        for (int size : smallSizes) {
            const QPixmap face = icons[row].pixmap(QSize(size, size), 1.0);
            smallPainter.drawPixmap(
                QPoint(x * zoom, (2 + row * 34) * zoom),
                face.scaled(face.size() * zoom, Qt::IgnoreAspectRatio, Qt::FastTransformation));
            x += size + 2;
        }
    }
    smallPainter.end();
    return savePixmap(small, dir + "/icon-small-magnified.png") && ok;
}

} // namespace

int main(int argc, char** argv) {
    // Drawing into images needs no screen, and no session's runtime folder.
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QTemporaryDir runtimeDir;
    if (qEnvironmentVariableIsEmpty("XDG_RUNTIME_DIR") && runtimeDir.isValid()) {
        qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtimeDir.path()));
    }
    QGuiApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() != 3 || (args[1] != "--hicolor" && args[1] != "--preview")) {
        std::fprintf(stderr, "usage: velmora-render-icons --hicolor DIR | --preview DIR\n");
        return 2;
    }
    const bool ok = args[1] == "--hicolor" ? renderHicolor(args[2]) : renderPreview(args[2]);
    return ok ? 0 : 1;
}
