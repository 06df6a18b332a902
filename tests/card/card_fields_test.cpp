#include "card/card_fields.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <iterator>

namespace talvex {
namespace {

// The resident card's table with one row changed by `change`.
template <typename Change>
bool SoundAfter(Change change) {
  std::array<CardField, std::size(kResidentFields)> rows;
  std::copy(std::begin(kResidentFields), std::end(kResidentFields), rows.begin());
  change(rows);
  return FieldTableIsSound(rows.data(), rows.size(), sizeof(ResidentCardInfo));
}

TEST(CardFieldTable, RefusesRowsThatBreakTheBlockOrTheRecord) {
  using Rows = std::array<CardField, std::size(kResidentFields)>;
  EXPECT_TRUE(SoundAfter([](Rows&) {}));
  // The gender code moved onto the nation code at byte 32.
  EXPECT_FALSE(SoundAfter([](Rows& r) { r[1].blockOffset = 32; }));
  // validTo (byte 204, 8 units) ending exactly at the block's end is fine, one unit more is not.
  EXPECT_TRUE(SoundAfter([](Rows& r) { r[10].blockOffset = 240; }));
  EXPECT_FALSE(SoundAfter([](Rows& r) { r[10].blockOffset = 242; }));
  // A field off the unit boundary, and one that leaves no room for its terminator.
  EXPECT_FALSE(SoundAfter([](Rows& r) { r[10].blockOffset = 239; }));
  EXPECT_FALSE(SoundAfter([](Rows& r) { r[10].units = r[10].capacity; }));
  // A member named twice, so another goes missing from the result text.
  EXPECT_FALSE(SoundAfter([](Rows& r) { r[2].member = r[1].member; }));
}

}  // namespace
}  // namespace talvex
