// The user's settings of the window, kept by QSettings in $XDG_CONFIG_HOME/Pellorin/Pellorin.conf
// (by default ~/.config/Pellorin/Pellorin.conf): the image folder the operator chose.
#pragma once

#include <QString>

namespace pellorin {

[[nodiscard]] QString SavedImageFolder();
void SaveImageFolder(const QString& folder);
// The file the settings are kept in.
[[nodiscard]] QString UserSettingsFile();

}  // namespace pellorin
