#include "app/dialog_units.h"

#include <QFontMetricsF>
#include <cmath>

namespace velmora::app {

DialogUnits::DialogUnits(const QFont& font) {
    const QFontMetricsF metrics(font);
    // The average width of the 52 letters, as dialog units have always been measured.
    const QString letters = QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz");
    averageWidth = std::round(metrics.horizontalAdvance(letters) / letters.size());
    height = std::ceil(metrics.height());
    if (averageWidth < 1) {
        averageWidth = 1;
    }
    if (height < 1) {
        height = 1;
    }
}

int DialogUnits::x(int units) const {
    return static_cast<int>(std::lround(units * averageWidth / 4.0));
}

int DialogUnits::y(int units) const {
    return static_cast<int>(std::lround(units * height / 8.0));
}

QRect DialogUnits::rect(int left, int top, int wide, int high) const {
    return {x(left), y(top), x(wide), y(high)};
}

QSize DialogUnits::size(int wide, int high) const {
    return {x(wide), y(high)};
}

int DialogUnits::iconSide() const {
    return static_cast<int>(std::lround(32.0 * height / 13.0));
}

} // namespace velmora::app
