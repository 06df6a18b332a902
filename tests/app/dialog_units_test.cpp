#include <gtest/gtest.h>

#include "app/qt/dialog_units.h"

namespace talvex {
namespace {

TEST(DialogUnits, MulDivRoundsHalvesAwayFromZero) {
  EXPECT_EQ(MulDiv(14, 7, 4), 25);   // 24.5
  EXPECT_EQ(MulDiv(49, 7, 4), 86);   // 85.75
  EXPECT_EQ(MulDiv(21, 15, 8), 39);  // 39.375
  EXPECT_EQ(MulDiv(53, 15, 8), 99);  // 99.375
  EXPECT_EQ(MulDiv(-5, 1, 2), -3);
  EXPECT_EQ(MulDiv(5, 1, -2), -3);
  EXPECT_EQ(MulDiv(0, 9, 4), 0);
  // No overflow in the intermediate product.
  EXPECT_EQ(MulDiv(1 << 20, 1 << 20, 1 << 20), 1 << 20);
}

// The 宋体 12 pt dialog of a 96 dpi desktop: 8 x 16 pixel base units.
TEST(DialogUnits, SimSunAt96DpiGivesTheClassicPixelLayout) {
  const DialogBaseUnits simsun{8, 16};
  EXPECT_EQ(DialogSizeToPixels(QSize(204, 53), simsun), QSize(408, 106));
  EXPECT_EQ(DialogRectToPixels(QRect(140, 14, 49, 21), simsun), QRect(280, 28, 98, 42));
  EXPECT_EQ(DialogRectToPixels(QRect(14, 14, 49, 21), simsun), QRect(28, 28, 98, 42));
  EXPECT_EQ(DialogRectToPixels(QRect(77, 14, 49, 21), simsun), QRect(154, 28, 98, 42));
}

TEST(DialogUnits, OddBaseUnitsRoundEachEdgeOnItsOwn) {
  const DialogBaseUnits units{7, 15};
  EXPECT_EQ(DialogRectToPixels(QRect(77, 14, 49, 21), units), QRect(135, 26, 86, 39));
  EXPECT_EQ(DialogSizeToPixels(QSize(204, 53), units), QSize(357, 99));
}

}  // namespace
}  // namespace talvex
