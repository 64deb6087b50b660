#pragma once

#include <QFont>
#include <QFontMetrics>
#include <QRect>
#include <QString>

// Dialog units of a font turned into pixels, so a dialog laid out in units
// keeps its proportions in any font: a horizontal unit is a quarter of the
// font's average character width, a vertical one an eighth of its height.
// Thread contract: a plain value; any thread.
class DialogUnits {
 public:
  explicit DialogUnits(const QFont& font) {
    QFontMetrics metrics(font);
    static const QString kSample =
        QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz");
    base_x_ = (metrics.horizontalAdvance(kSample) / 26 + 1) / 2;
    base_y_ = metrics.height();
  }
  int X(int units) const { return units * base_x_ / 4; }
  int Y(int units) const { return units * base_y_ / 8; }
  QRect Rect(int x, int y, int w, int h) const { return QRect(X(x), Y(y), X(w), Y(h)); }

 private:
  int base_x_ = 8;
  int base_y_ = 16;
};
