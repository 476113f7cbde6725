// The sound at the end of a successful update: the desktop's own "complete" event sound.
#pragma once

#include <QString>
#include <QStringList>

namespace pellorin {

// What the window asks for when an update has finished; tests count the requests.
class EndSound {
  public:
    virtual ~EndSound() = default;
    // Starts the sound and returns at once; does nothing when no sound can be played.
    virtual void Play() = 0;
};

// The freedesktop sound theme's "complete" sound, played by the first sound player found
// (paplay, pw-play, canberra-gtk-play) in a process of its own, never waited for.
class DesktopEndSound : public EndSound {
  public:
    void Play() override;

    // The theme's file in the XDG data folders ($XDG_DATA_HOME, then $XDG_DATA_DIRS), "" when
    // none has it.
    [[nodiscard]] static QString FindSoundFile();
    // The player program and its arguments for a file; empty when no player is installed.
    [[nodiscard]] static QStringList PlayerCommand(const QString& soundFile);
};

}  // namespace pellorin
