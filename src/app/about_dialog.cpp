#include "app/about_dialog.h"

#include "app/dialog_units.h"
#include "app/pictures.h"

#include <QApplication>
#include <QLabel>
#include <QPushButton>

namespace velmora::app {

CAboutDialog::CAboutDialog(QWidget* owner)
    : QDialog(owner, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                         Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint) {
    setObjectName(QStringLiteral("aboutDialog"));
    setWindowTitle(QStringLiteral("About Velmora(3062f)"));
    setModal(true);
    const DialogUnits units(font());
    setFixedSize(units.size(235, 55));

    auto* icon = new QLabel(this);
    icon->setObjectName(QStringLiteral("aboutIcon"));
    const int side = units.iconSide();
    QIcon picture = programIcon();
    if (picture.isNull()) {
        picture = QApplication::windowIcon();
    }
    icon->setPixmap(picture.pixmap(side, side));
    icon->setGeometry(units.x(11), units.y(17), side, side);

    auto* ok = new QPushButton(QStringLiteral("OK"), this);
    ok->setObjectName(QStringLiteral("aboutOk"));
    ok->setGeometry(units.rect(190, 7, 38, 14));
    ok->setDefault(true);
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);
}

} // namespace velmora::app
