// The dialog font and the conversion of dialog units to pixels.
#include "app/DialogUnits.h"

#include <QFontDatabase>
#include <QFontMetrics>
#include <QStringList>

namespace pellorin {
namespace {
constexpr int kDialogFontPixels = 12;  // 9 points at 96 dots per inch
}  // namespace

QFont DialogFont() {
    // The template's face first, then faces that carry the same Chinese glyphs.
    const QStringList preferred = {QStringLiteral("宋体"),
                                   QStringLiteral("SimSun"),
                                   QStringLiteral("NSimSun"),
                                   QStringLiteral("WenQuanYi Micro Hei"),
                                   QStringLiteral("Noto Sans CJK SC"),
                                   QStringLiteral("Droid Sans Fallback")};
    const QStringList installed = QFontDatabase::families();
    QFont font;
    for (const QString& family : preferred) {
        if (installed.contains(family, Qt::CaseInsensitive)) {
            font.setFamilies({family});
            break;
        }
    }
    font.setPixelSize(kDialogFontPixels);
    return font;
}

DialogUnits::DialogUnits(const QFont& font) {
    const QFontMetrics metrics(font);
    // The average width of the Latin letters, rounded, as the dialog manager computes it.
    const int letters = metrics.horizontalAdvance(
        QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
    m_charWidth = (letters / 26 + 1) / 2;
    m_charHeight = metrics.height();
    if (m_charWidth < 1) m_charWidth = 1;
    if (m_charHeight < 1) m_charHeight = 1;
}

int DialogUnits::X(int dialogUnits) const { return dialogUnits * m_charWidth / 4; }
int DialogUnits::Y(int dialogUnits) const { return dialogUnits * m_charHeight / 8; }

QRect DialogUnits::Rect(int x, int y, int width, int height) const {
    return QRect(X(x), Y(y), X(width), Y(height));
}

}  // namespace pellorin
