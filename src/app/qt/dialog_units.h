// Dialog units: the dialog's layout is given in units of the dialog font, a
// quarter of the average character width across and an eighth of the
// character height down, converted to pixels the way the Windows dialog
// manager does it.
#pragma once

#include <QFont>
#include <QRect>
#include <QSize>

namespace talvex {

struct DialogBaseUnits {
  int cx = 0;  // average character width in pixels
  int cy = 0;  // character height in pixels
};

// (a * b) / c rounded to the nearest integer, halves away from zero; c != 0.
int MulDiv(int a, int b, int c);

// The base units of a font: the width of the 52 Latin letters halved and
// averaged as (width / 26 + 1) / 2, and the font's full height.
DialogBaseUnits BaseUnitsOf(const QFont& font);

// A rectangle in dialog units to pixels.
QRect DialogRectToPixels(const QRect& dlu, DialogBaseUnits units);
QSize DialogSizeToPixels(const QSize& dlu, DialogBaseUnits units);

// The dialog's font: 宋体 (SimSun) 12 pt, normal weight, with Song/Ming style
// CJK faces and then the common CJK sans faces as fallbacks.
QFont DialogFont();

}  // namespace talvex
