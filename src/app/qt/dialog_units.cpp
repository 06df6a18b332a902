#include "app/qt/dialog_units.h"

#include <QFontMetrics>
#include <QStringList>
#include <cstdint>

namespace talvex {

int MulDiv(int a, int b, int c) {
  const std::int64_t product = static_cast<std::int64_t>(a) * b;
  const std::int64_t half = (c < 0 ? -c : c) / 2;
  const bool negative = (product < 0) != (c < 0);
  const std::int64_t magnitude = (product < 0 ? -product : product) + half;
  const std::int64_t quotient = magnitude / (c < 0 ? -c : c);
  return static_cast<int>(negative ? -quotient : quotient);
}

DialogBaseUnits BaseUnitsOf(const QFont& font) {
  const QFontMetrics metrics(font);
  const int alphabet = metrics.horizontalAdvance(
      QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
  DialogBaseUnits units;
  units.cx = (alphabet / 26 + 1) / 2;
  units.cy = metrics.height();
  return units;
}

QRect DialogRectToPixels(const QRect& dlu, DialogBaseUnits units) {
  return QRect(MulDiv(dlu.x(), units.cx, 4), MulDiv(dlu.y(), units.cy, 8),
               MulDiv(dlu.width(), units.cx, 4), MulDiv(dlu.height(), units.cy, 8));
}

QSize DialogSizeToPixels(const QSize& dlu, DialogBaseUnits units) {
  return QSize(MulDiv(dlu.width(), units.cx, 4), MulDiv(dlu.height(), units.cy, 8));
}

QFont DialogFont() {
  QFont font;
  font.setFamilies({QStringLiteral("SimSun"), QStringLiteral("宋体"), QStringLiteral("NSimSun"),
                    QStringLiteral("AR PL UMing CN"), QStringLiteral("AR PL SungtiL GB"),
                    QStringLiteral("Noto Serif CJK SC"), QStringLiteral("Source Han Serif SC"),
                    QStringLiteral("WenQuanYi Zen Hei"), QStringLiteral("WenQuanYi Micro Hei"),
                    QStringLiteral("Noto Sans CJK SC")});
  font.setPointSize(12);
  font.setWeight(QFont::Normal);
  return font;
}

}  // namespace talvex
