// The window's settings through QSettings, in a file named explicitly so that it does not depend
// on the application object's names.
#include "app/UserSettings.h"

#include <QSettings>
#include <QStandardPaths>

namespace pellorin {
namespace {

const char* const kImageFolderKey = "ImageFolder";

// An INI file at a path of our own choosing, the same however Qt names its native files.
QSettings Settings() {
    return QSettings(QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
                         QStringLiteral("/Pellorin/Pellorin.conf"),
                     QSettings::IniFormat);
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
