// The window's settings through QSettings, named explicitly so that they do not depend on the
// application object's names.
#include "app/UserSettings.h"

#include <QSettings>

namespace pellorin {
namespace {

const char* const kImageFolderKey = "ImageFolder";

QSettings Settings() {
    return QSettings(QSettings::UserScope, QStringLiteral("Pellorin"), QStringLiteral("Pellorin"));
}

}  // namespace

QString SavedImageFolder() { return Settings().value(QLatin1String(kImageFolderKey)).toString(); }

void SaveImageFolder(const QString& folder) {
    QSettings settings = Settings();
    settings.setValue(QLatin1String(kImageFolderKey), folder);
    settings.sync();
}

QString UserSettingsFile() { return Settings().fileName(); }

}  // namespace pellorin
