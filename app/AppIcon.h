// Icon 128, the application's icon, in 32 x 32 and 16 x 16 pixels.
#pragma once

#include <QIcon>

namespace pellorin {

[[nodiscard]] QIcon AppIcon();

}  // namespace pellorin
