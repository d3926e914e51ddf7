#include "desktop/artwork.h"

#include <QImage>
#include <QPainter>
#include <QPixmap>
#include <algorithm>
#include <cmath>
#include <functional>
#include <gtest/gtest.h>
#include <utility>
#include <vector>

using velmora::desktop::applicationIcon;
using velmora::desktop::documentIcon;
using velmora::desktop::toolbarIcon;
using velmora::desktop::ToolbarPicture;

namespace {

const qreal devicePixelRatios[] = {1.0, 1.5, 2.0};
const QSize faceSize(32, 30);

std::vector<std::pair<const char*, ToolbarPicture>> allPictures() {
    return {{"open", ToolbarPicture::Open},
            {"flash", ToolbarPicture::Flash},
            {"allflash", ToolbarPicture::AllFlash},
            {"write", ToolbarPicture::Write},
            {"about", ToolbarPicture::About}};
}

QImage face(ToolbarPicture picture, qreal ratio, QIcon::Mode mode = QIcon::Normal) {
    return toolbarIcon(picture)
        .pixmap(faceSize, ratio, mode)
        .toImage()
        .convertToFormat(QImage::Format_ARGB32);
}

// Colours as the eye names them, on pixels that are mostly opaque.
bool opaque(QColor c) {
    return c.alpha() >= 200;
}
bool red(QColor c) {
    return opaque(c) && c.red() >= 150 && c.green() <= 90 && c.blue() <= 90;
}
bool blue(QColor c) {
    return opaque(c) && c.blue() >= 150 && c.red() <= 110 && c.blue() - c.green() >= 40;
}
bool yellow(QColor c) {
    return opaque(c) && c.red() >= 200 && c.green() >= 160 && c.blue() <= 130;
}
bool saturated(QColor c) {
    return c.alpha() > 0 &&
           std::max({c.red(), c.green(), c.blue()}) - std::min({c.red(), c.green(), c.blue()}) > 12;
}

// Pixels of a region given in design coordinates (32 by 30) that pass a test.
int count(const QImage& image, const std::function<bool(QColor)>& test, QRectF design) {
    const qreal sx = image.width() / 32.0;
    const qreal sy = image.height() / 30.0;
    const QRect region(
        QPoint(int(design.left() * sx), int(design.top() * sy)),
        QPoint(int(std::ceil(design.right() * sx)) - 1, int(std::ceil(design.bottom() * sy)) - 1));
    int n = 0;
    for (int y = region.top(); y <= region.bottom(); ++y) {
        for (int x = region.left(); x <= region.right(); ++x) {
            n += test(image.pixelColor(x, y)) ? 1 : 0;
        }
    }
    return n;
}

int count(const QImage& image, const std::function<bool(QColor)>& test) {
    return count(image, test, QRectF(0, 0, 32, 30));
}

QColor at(const QImage& image, qreal designX, qreal designY) {
    return image.pixelColor(int(designX * image.width() / 32.0),
                            int(designY * image.height() / 30.0));
}

} // namespace

TEST(ToolbarArtwork, EveryFaceIsDrawnAtEachDevicePixelRatio) {
    for (const auto& [name, picture] : allPictures()) {
        for (qreal ratio : devicePixelRatios) {
            SCOPED_TRACE(testing::Message() << name << " at " << ratio << "x");
            const QPixmap pixmap = toolbarIcon(picture).pixmap(faceSize, ratio);
            EXPECT_EQ(pixmap.size(), QSize(std::lround(32 * ratio), std::lround(30 * ratio)));
            EXPECT_DOUBLE_EQ(pixmap.devicePixelRatio(), ratio);
            const QImage image = pixmap.toImage();
            const int total = image.width() * image.height();
            const int drawn = count(image, opaque);
            EXPECT_GT(drawn, total / 10);
            EXPECT_LT(drawn, total * 9 / 10);
        }
    }
}

TEST(ToolbarArtwork, KeepsTheButtonFaceProportions) {
    const QIcon icon = toolbarIcon(ToolbarPicture::Flash);
    EXPECT_FALSE(icon.isNull());
    EXPECT_EQ(icon.actualSize(QSize(32, 32)), QSize(32, 30));
    EXPECT_EQ(icon.actualSize(QSize(64, 64)), QSize(64, 60));
    EXPECT_EQ(icon.pixmap(QSize(32, 32)).size(), QSize(32, 30));
    EXPECT_FALSE(icon.availableSizes().isEmpty());
}

TEST(ToolbarArtwork, LettersAreRed) {
    for (qreal ratio : devicePixelRatios) {
        SCOPED_TRACE(testing::Message() << ratio << "x");
        const QImage f = face(ToolbarPicture::Flash, ratio);
        EXPECT_TRUE(red(at(f, 12, 20))) << "stem of the F";
        EXPECT_TRUE(red(at(f, 19, 7))) << "top bar of the F";
        EXPECT_FALSE(opaque(at(f, 20, 22))) << "nothing right of the stem below the bars";
        EXPECT_EQ(count(f, blue) + count(f, yellow), 0);

        const QImage w = face(ToolbarPicture::Write, ratio);
        EXPECT_GT(count(w, red), count(w, opaque) / 2);
        EXPECT_FALSE(opaque(at(w, 10.8, 6))) << "the notch between the W's left arms";

        // A, L and L: each letter's column holds red.
        const QImage all = face(ToolbarPicture::AllFlash, ratio);
        const qreal cell = ratio * ratio;
        EXPECT_GT(count(all, red, QRectF(1, 4, 12, 23)), 40 * cell);
        EXPECT_GT(count(all, red, QRectF(14, 4, 8, 23)), 40 * cell);
        EXPECT_GT(count(all, red, QRectF(23, 4, 8, 23)), 40 * cell);
        EXPECT_FALSE(opaque(at(all, 20, 10))) << "the space of the first L";
    }
}

TEST(ToolbarArtwork, OpenIsAFolderWithABlueArrow) {
    for (qreal ratio : devicePixelRatios) {
        SCOPED_TRACE(testing::Message() << ratio << "x");
        const QImage open = face(ToolbarPicture::Open, ratio);
        const qreal cell = ratio * ratio;
        EXPECT_GT(count(open, blue, QRectF(10, 0, 22, 15)), 25 * cell) << "arrow, upper right";
        EXPECT_EQ(count(open, blue, QRectF(0, 18, 32, 12)), 0) << "no blue on the folder";
        const auto folder = [](QColor c) {
            return opaque(c) && c.red() >= 190 && c.green() >= 120 && c.blue() <= 150 &&
                   c.red() > c.blue() + 60;
        };
        EXPECT_GT(count(open, folder, QRectF(0, 15, 32, 15)), 80 * cell) << "folder, lower half";
    }
}

TEST(ToolbarArtwork, AboutIsAYellowQuestionMark) {
    for (qreal ratio : devicePixelRatios) {
        SCOPED_TRACE(testing::Message() << ratio << "x");
        const QImage about = face(ToolbarPicture::About, ratio);
        EXPECT_GT(count(about, yellow), count(about, opaque) / 3);
        EXPECT_EQ(count(about, red) + count(about, blue), 0);
        EXPECT_TRUE(yellow(at(about, 16.3, 25.3))) << "the dot";
        EXPECT_TRUE(yellow(at(about, 21.6, 10))) << "the hook's right side";
        EXPECT_FALSE(opaque(at(about, 16.3, 21.9))) << "the gap above the dot";
    }
}

TEST(ToolbarArtwork, DisabledFacesAreGreyAndFaint) {
    for (const auto& [name, picture] : allPictures()) {
        for (qreal ratio : devicePixelRatios) {
            SCOPED_TRACE(testing::Message() << name << " at " << ratio << "x");
            const QImage normal = face(picture, ratio);
            const QImage disabled = face(picture, ratio, QIcon::Disabled);
            ASSERT_EQ(disabled.size(), normal.size());
            EXPECT_GT(count(normal, saturated), 0);
            EXPECT_EQ(count(disabled, saturated), 0);
            EXPECT_EQ(count(disabled, opaque), 0);
            EXPECT_GT(count(disabled, [](QColor c) { return c.alpha() > 60; }),
                      count(normal, opaque) / 2)
                << "still visible";
        }
    }
}

TEST(ApplicationArtwork, BothIconsAtEveryInstalledSize) {
    const int sizes[] = {16, 22, 24, 32, 48, 64, 128, 256};
    const std::pair<const char*, QIcon> icons[] = {{"application", applicationIcon()},
                                                   {"document", documentIcon()}};
    for (const auto& [name, icon] : icons) {
        EXPECT_FALSE(icon.isNull());
        for (int size : sizes) {
            for (qreal ratio : {1.0, 2.0}) {
                SCOPED_TRACE(testing::Message() << name << " " << size << " at " << ratio << "x");
                const QPixmap pixmap = icon.pixmap(QSize(size, size), ratio);
                const int device = int(size * ratio);
                ASSERT_EQ(pixmap.size(), QSize(device, device));
                const QImage image = pixmap.toImage().convertToFormat(QImage::Format_ARGB32);
                EXPECT_TRUE(opaque(image.pixelColor(device / 2, device / 2)));
                int drawn = 0;
                for (int y = 0; y < device; ++y) {
                    for (int x = 0; x < device; ++x) {
                        drawn += opaque(image.pixelColor(x, y)) ? 1 : 0;
                    }
                }
                EXPECT_GT(drawn, device * device / 3);
            }
        }
    }
}

TEST(ApplicationArtwork, ApplicationIsADarkChipWithAYellowFlash) {
    for (int size : {16, 24, 48, 256}) {
        SCOPED_TRACE(size);
        const QImage image = applicationIcon().pixmap(QSize(size, size)).toImage();
        int dark = 0;
        int flash = 0;
        for (int y = 0; y < size; ++y) {
            for (int x = 0; x < size; ++x) {
                const QColor c = image.pixelColor(x, y);
                dark += opaque(c) && c.lightness() < 90 ? 1 : 0;
                flash +=
                    yellow(c) || (opaque(c) && c.red() > 200 && c.green() > 120 && c.blue() < 80)
                        ? 1
                        : 0;
            }
        }
        EXPECT_GT(dark, size * size / 5);
        EXPECT_GT(flash, size * size / 40);
    }
}

TEST(ApplicationArtwork, DocumentIsAPaleSheet) {
    for (int size : {16, 24, 48, 256}) {
        SCOPED_TRACE(size);
        const QImage image = documentIcon().pixmap(QSize(size, size)).toImage();
        int pale = 0;
        int area = 0;
        // The upper left holds the sheet and its lines, clear of the chip badge.
        for (int y = size / 8; y < size / 2; ++y) {
            for (int x = size / 4; x < size / 2; ++x) {
                const QColor c = image.pixelColor(x, y);
                pale += opaque(c) && c.lightness() > 200 ? 1 : 0;
                ++area;
            }
        }
        EXPECT_GT(pale, area / 2);
    }
}

TEST(ApplicationArtwork, PaintsCentredAtThePaintersPixelRatio) {
    QImage canvas(QSize(96, 96), QImage::Format_ARGB32_Premultiplied);
    canvas.setDevicePixelRatio(2.0);
    canvas.fill(Qt::transparent);
    {
        QPainter painter(&canvas);
        toolbarIcon(ToolbarPicture::Flash).paint(&painter, QRect(0, 0, 48, 48));
    }
    // The 32 by 30 face scaled to fit 48 wide: 48 by 45, centred, at 2x.
    EXPECT_FALSE(opaque(canvas.pixelColor(48, 1))) << "the band above the face stays clear";
    EXPECT_TRUE(red(canvas.pixelColor(int(12 * 3), int(1.5 * 2 + 20 * 3)))) << "stem of the F";
}
