// Dialog units to pixels, from the dialog font's average character size, the way dialog templates
// are laid out: x_px = x_du * averageCharWidth / 4, y_px = y_du * charHeight / 8.
#pragma once

#include <QFont>
#include <QRect>
#include <QString>

namespace pellorin {

// The dialogs' font: 9 point "宋体" where installed, else the closest installed CJK-capable font
// (WenQuanYi Micro Hei, installed with the project's packages), else the toolkit's default. The
// size is set in pixels as 9 points are at 96 dots per inch (12 px), so the layout is the same on
// every screen and on the offscreen platform.
[[nodiscard]] QFont DialogFont();

class DialogUnits {
  public:
    explicit DialogUnits(const QFont& font);

    [[nodiscard]] int AverageCharWidth() const { return m_charWidth; }
    [[nodiscard]] int CharHeight() const { return m_charHeight; }

    [[nodiscard]] int X(int dialogUnits) const;
    [[nodiscard]] int Y(int dialogUnits) const;
    [[nodiscard]] QRect Rect(int x, int y, int width, int height) const;

  private:
    int m_charWidth;
    int m_charHeight;
};

}  // namespace pellorin
