// Dialog units to pixels through the dialog font's metrics: a horizontal unit
// is a quarter of the average character width, a vertical one an eighth of
// the font height.
#pragma once

#include <QFont>
#include <QRect>

namespace q4m::app::qt {

class DialogUnits {
  public:
    explicit DialogUnits(const QFont& font);
    int x(int du) const { return du * avgCharWidth_ / 4; }
    int y(int du) const { return du * fontHeight_ / 8; }
    QRect rect(int x, int y, int width, int height) const;

  private:
    int avgCharWidth_;
    int fontHeight_;
};

// The platform's UI font at 9 points, standing in for the template's font.
QFont dialogFont();

}  // namespace q4m::app::qt
