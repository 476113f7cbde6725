// Lays out the About box from its template in dialog units.
#include "app/AboutBox.h"

#include <QLabel>
#include <QPushButton>

#include "app/AppIcon.h"
#include "app/DialogUnits.h"

namespace pellorin {

CAboutBox::CAboutBox(QWidget* parent) : QDialog(parent) {
    setFont(DialogFont());
    const DialogUnits units(font());
    setWindowTitle(QStringLiteral("关于 Pellorin"));
    setWindowIcon(AppIcon());
    setFixedSize(units.X(235), units.Y(55));

    // An icon static takes the icon's own size at its position.
    auto* icon = new QLabel(this);
    icon->setObjectName(QStringLiteral("icon"));
    icon->setPixmap(AppIcon().pixmap(32, 32));
    icon->setGeometry(units.X(11), units.Y(17), 32, 32);

    auto* version = new QLabel(QStringLiteral("Pellorin 1.0 版"), this);
    version->setObjectName(QStringLiteral("version"));
    version->setGeometry(units.Rect(40, 10, 119, 8));

    auto* second = new QLabel(QStringLiteral("逆变器固件升级工具"), this);
    second->setObjectName(QStringLiteral("description"));
    second->setGeometry(units.Rect(40, 25, 119, 8));

    auto* ok = new QPushButton(QStringLiteral("确定"), this);
    ok->setObjectName(QStringLiteral("1"));
    ok->setGeometry(units.Rect(178, 7, 50, 14));
    ok->setDefault(true);
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);
}

}  // namespace pellorin
