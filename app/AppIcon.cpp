// The application icon, compiled in from its two 16-colour pixel maps.
#include "app/AppIcon.h"

#include <QPixmap>

#include "app/res/pellorin16.xpm"
#include "app/res/pellorin32.xpm"

namespace pellorin {

QIcon AppIcon() {
    QIcon icon;
    icon.addPixmap(QPixmap(pellorin32_xpm));
    icon.addPixmap(QPixmap(pellorin16_xpm));
    return icon;
}

}  // namespace pellorin
