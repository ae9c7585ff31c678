#include "app/qt/dialog_units.h"

#include <QApplication>
#include <QFontMetrics>

namespace q4m::app::qt {

DialogUnits::DialogUnits(const QFont& font) {
    const QFontMetrics metrics(font);
    // The average over the 52 letters, rounded, as dialog base units are defined.
    const int letters = metrics.horizontalAdvance(
        QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
    avgCharWidth_ = (letters / 26 + 1) / 2;
    fontHeight_ = metrics.height();
}

QRect DialogUnits::rect(int left, int top, int width, int height) const {
    return {x(left), y(top), x(width), y(height)};
}

QFont dialogFont() {
    QFont font = QApplication::font();
    font.setPointSize(9);
    return font;
}

}  // namespace q4m::app::qt
