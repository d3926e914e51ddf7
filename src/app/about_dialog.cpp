#include "app/about_dialog.h"

#include "app/dialog_units.h"
#include "app/pictures.h"

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
    icon->setPixmap(programIcon().pixmap(side, side));
    icon->setGeometry(units.x(11), units.y(17), side, side);

    // What the about command promises: the program and its version.
    auto* about = new QLabel(this);
    about->setObjectName(QStringLiteral("aboutText"));
    about->setText(QStringLiteral("<b>Velmora(3062f)</b> version %1<br>Flash programmer for "
                                  "H8/3062F boards")
                       .arg(QStringLiteral(VELMORA_VERSION)));
    about->setGeometry(units.rect(40, 10, 145, 36));
    about->setAlignment(Qt::AlignLeft | Qt::AlignTop);

    auto* ok = new QPushButton(QStringLiteral("OK"), this);
    ok->setObjectName(QStringLiteral("aboutOk"));
    ok->setGeometry(units.rect(190, 7, 38, 14));
    ok->setDefault(true);
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);
}

} // namespace velmora::app
