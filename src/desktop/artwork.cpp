#include "desktop/artwork.h"

#include "desktop/artwork_sources.h"

#include <QIconEngine>
#include <QImage>
#include <QPainter>
#include <QPixmap>
#include <QPixmapCache>
#include <QSvgRenderer>
#include <algorithm>
#include <cmath>
#include <utility>

namespace velmora::desktop {
namespace {

// A source drawn for sizes up to maxEdge device pixels.
struct SmallSource {
    int maxEdge;
    QString source;
};

// One picture: its main source and, smallest first, those drawn for small sizes.
struct Artwork {
    QSize designSize;
    QString source;
    QList<SmallSource> smallSources;
    QList<QSize> listedSizes;
};

// Disabled buttons: grey, lighter and half transparent, so the picture reads as
// unavailable on any toolbar background.
void greyOut(QImage& image) {
    image = image.convertToFormat(QImage::Format_ARGB32);
    for (int y = 0; y < image.height(); ++y) {
        auto* line = reinterpret_cast<QRgb*>(image.scanLine(y));
        for (int x = 0; x < image.width(); ++x) {
            const QRgb pixel = line[x];
            const int grey = qGray(pixel);
            const int light = (grey + 2 * 168) / 3;
            line[x] = qRgba(light, light, light, qAlpha(pixel) / 2);
        }
    }
    image = image.convertToFormat(QImage::Format_ARGB32_Premultiplied);
}

class ArtworkEngine final : public QIconEngine {
public:
    explicit ArtworkEngine(Artwork artwork) : artwork_(std::move(artwork)) {}

    QIconEngine* clone() const override { return new ArtworkEngine(artwork_); }
    QString key() const override { return QStringLiteral("velmora-artwork"); }
    bool isNull() override { return false; }

    QList<QSize> availableSizes(QIcon::Mode, QIcon::State) override { return artwork_.listedSizes; }

    QSize actualSize(const QSize& size, QIcon::Mode, QIcon::State) override { return fitted(size); }

    QPixmap pixmap(const QSize& size, QIcon::Mode mode, QIcon::State) override {
        return devicePixmap(fitted(size), mode);
    }

    QPixmap scaledPixmap(const QSize& size, QIcon::Mode mode, QIcon::State, qreal scale) override {
        if (scale <= 0) {
            return {};
        }
        // Before Qt 6.8 the size asked for is already in device pixels.
#if QT_VERSION >= QT_VERSION_CHECK(6, 8, 0)
        const QSize deviceRequest(int(std::lround(size.width() * scale)),
                                  int(std::lround(size.height() * scale)));
#else
        const QSize deviceRequest = size;
#endif
        QPixmap result = devicePixmap(fitted(deviceRequest), mode);
        result.setDevicePixelRatio(scale);
        return result;
    }

    void paint(QPainter* painter, const QRect& rect, QIcon::Mode mode, QIcon::State) override {
        const qreal scale = painter->device() ? painter->device()->devicePixelRatioF() : 1.0;
        const QSize logical = fitted(rect.size());
        const QSize device(int(std::lround(logical.width() * scale)),
                           int(std::lround(logical.height() * scale)));
        const QPoint corner(rect.x() + (rect.width() - logical.width()) / 2,
                            rect.y() + (rect.height() - logical.height()) / 2);
        painter->drawPixmap(QRect(corner, logical), devicePixmap(device, mode));
    }

private:
    // The largest size of the picture's proportions that fits the one asked for.
    QSize fitted(const QSize& size) const {
        if (size.isEmpty()) {
            return {};
        }
        return artwork_.designSize.scaled(size, Qt::KeepAspectRatio);
    }

    // The picture at exactly this many device pixels, from the cache when drawn before.
    QPixmap devicePixmap(const QSize& device, QIcon::Mode mode) const {
        if (device.isEmpty()) {
            return {};
        }
        const QString source = sourceFor(device);
        const bool disabled = mode == QIcon::Disabled;
        const QString cacheKey = QStringLiteral("velmora-artwork:%1:%2x%3:%4")
                                     .arg(source)
                                     .arg(device.width())
                                     .arg(device.height())
                                     .arg(disabled ? 'd' : 'n');
        QPixmap result;
        if (!QPixmapCache::find(cacheKey, &result)) {
            QImage image = render(source, device);
            if (disabled) {
                greyOut(image);
            }
            result = QPixmap::fromImage(image);
            QPixmapCache::insert(cacheKey, result);
        }
        return result;
    }

    QString sourceFor(const QSize& device) const {
        const int edge = std::max(device.width(), device.height());
        for (const SmallSource& small : artwork_.smallSources) {
            if (edge <= small.maxEdge) {
                return small.source;
            }
        }
        return artwork_.source;
    }

    static QImage render(const QString& source, const QSize& device) {
        QSvgRenderer renderer(source);
        renderer.setAspectRatioMode(Qt::KeepAspectRatio);
        QImage image(device, QImage::Format_ARGB32_Premultiplied);
        image.fill(Qt::transparent);
        QPainter painter(&image);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setRenderHint(QPainter::SmoothPixmapTransform);
        renderer.render(&painter, QRectF(QPointF(0, 0), QSizeF(device)));
        return image;
    }

    Artwork artwork_;
};

QList<QSize> squareSizes() {
    return {QSize(16, 16), QSize(22, 22), QSize(24, 24),   QSize(32, 32),
            QSize(48, 48), QSize(64, 64), QSize(128, 128), QSize(256, 256)};
}

QIcon iconOf(Artwork artwork) {
    return QIcon(new ArtworkEngine(std::move(artwork)));
}

// The application icon's picture, listing these sizes.
QIcon applicationArtwork(QList<QSize> listed) {
    return iconOf({QSize(48, 48),
                   QString::fromLatin1(sources::applicationIcon),
                   {{16, QString::fromLatin1(sources::applicationIcon16)},
                    {24, QString::fromLatin1(sources::applicationIcon24)},
                    {32, QString::fromLatin1(sources::applicationIcon32)}},
                   std::move(listed)});
}

} // namespace

QIcon applicationIcon() {
    return applicationArtwork(squareSizes());
}

QIcon windowIcon() {
    return applicationArtwork(
        {QSize(16, 16), QSize(24, 24), QSize(32, 32), QSize(48, 48), QSize(64, 64)});
}

QIcon documentIcon() {
    return iconOf({QSize(48, 48),
                   QString::fromLatin1(sources::documentIcon),
                   {{16, QString::fromLatin1(sources::documentIcon16)},
                    {24, QString::fromLatin1(sources::documentIcon24)},
                    {32, QString::fromLatin1(sources::documentIcon32)}},
                   squareSizes()});
}

QIcon toolbarIcon(ToolbarPicture picture) {
    const char* source = sources::toolbarOpen;
    switch (picture) {
    case ToolbarPicture::Open:
        source = sources::toolbarOpen;
        break;
    case ToolbarPicture::Flash:
        source = sources::toolbarFlash;
        break;
    case ToolbarPicture::AllFlash:
        source = sources::toolbarAllFlash;
        break;
    case ToolbarPicture::Write:
        source = sources::toolbarWrite;
        break;
    case ToolbarPicture::About:
        source = sources::toolbarAbout;
        break;
    }
    return iconOf({QSize(32, 30),
                   QString::fromLatin1(source),
                   {},
                   {QSize(32, 30), QSize(48, 45), QSize(64, 60)}});
}

} // namespace velmora::desktop
