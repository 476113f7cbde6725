// Finding and starting the desktop's "complete" sound without blocking the window.
#include "app/EndSound.h"

#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>

namespace pellorin {
namespace {
const char* const kThemeFile = "sounds/freedesktop/stereo/complete.oga";
}  // namespace

QString DesktopEndSound::FindSoundFile() {
    QStringList folders;
    const QString home = qEnvironmentVariable("XDG_DATA_HOME");
    folders << (home.isEmpty() ? QDir::homePath() + QStringLiteral("/.local/share") : home);
    QString dirs = qEnvironmentVariable("XDG_DATA_DIRS");
    if (dirs.isEmpty()) dirs = QStringLiteral("/usr/local/share:/usr/share");
    folders << dirs.split(QLatin1Char(':'), Qt::SkipEmptyParts);
    for (const QString& folder : folders) {
        const QString path = folder + QLatin1Char('/') + QLatin1String(kThemeFile);
        if (QFileInfo(path).isFile()) return path;
    }
    return {};
}

QStringList DesktopEndSound::PlayerCommand(const QString& soundFile) {
    // PulseAudio's and PipeWire's players take the file as it is; libcanberra's names it with -f.
    const QString paplay = QStandardPaths::findExecutable(QStringLiteral("paplay"));
    if (!paplay.isEmpty()) return {paplay, soundFile};
    const QString pwPlay = QStandardPaths::findExecutable(QStringLiteral("pw-play"));
    if (!pwPlay.isEmpty()) return {pwPlay, soundFile};
    const QString canberra = QStandardPaths::findExecutable(QStringLiteral("canberra-gtk-play"));
    if (!canberra.isEmpty()) return {canberra, QStringLiteral("-f"), soundFile};
    return {};
}

void DesktopEndSound::Play() {
    const QString file = FindSoundFile();
    if (file.isEmpty()) return;
    QStringList command = PlayerCommand(file);
    if (command.isEmpty()) return;
    const QString program = command.takeFirst();
    // Detached: the window never waits for the player, and a player that fails is not our
    // concern; there is no fallback sound.
    QProcess::startDetached(program, command);
}

}  // namespace pellorin
