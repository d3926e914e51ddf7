#pragma once

#include <QFont>
#include <QRect>
#include <QSize>

namespace velmora::app {

// Dialog units of a font, as the dialog and form layouts are given in: a
// horizontal unit is a quarter of the font's average character width, a
// vertical unit an eighth of its height. With the system font the layouts
// grow with the font and the screen's resolution.
class DialogUnits {
public:
    explicit DialogUnits(const QFont& font);

    int x(int units) const;
    int y(int units) const;
    QRect rect(int left, int top, int wide, int high) const;
    QSize size(int wide, int high) const;

    // Side of an icon: 32 pixels for the 13-pixel font the layouts were drawn
    // with, in proportion for others.
    int iconSide() const;

    double baseWidth() const { return averageWidth; }
    double baseHeight() const { return height; }

private:
    double averageWidth;
    double height;
};

} // namespace velmora::app
