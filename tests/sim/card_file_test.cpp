// Sample cards and card files: the text block layout of each card kind, the
// photo block, and the messages for files that are wrong.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "reader-sim/bitmap_file.h"
#include "reader-sim/card.h"
#include "wlt-standin/standin_format.h"

#ifndef SIM_CARDS_DIR
#error SIM_CARDS_DIR must name tools/reader-sim/cards
#endif

namespace talvex::sim {
namespace {

// The units of the field at byte `offset`, `units` wide, as a UTF-16 string
// (padding included).
std::u16string Field(const CardImage& card, std::size_t offset, std::size_t units) {
  std::u16string s;
  for (std::size_t i = 0; i < units; ++i) {
    s.push_back(
        static_cast<char16_t>(card.text[offset + 2 * i] | (card.text[offset + 2 * i + 1] << 8)));
  }
  return s;
}

std::u16string Padded(std::u16string value, std::size_t units) {
  value.resize(units, u' ');
  return value;
}

TEST(SampleCards, ResidentFieldsSitAtTheirOffsets) {
  CardImage c = SampleCard(SampleKind::Resident);
  EXPECT_EQ(Field(c, 0, 15), Padded(u"张三", 15));
  EXPECT_EQ(Field(c, 30, 1), u"1");
  EXPECT_EQ(Field(c, 32, 2), u"01");
  EXPECT_EQ(Field(c, 36, 8), u"20000101");
  EXPECT_EQ(Field(c, 52, 35), Padded(u"某省某市某区某路1号", 35));
  EXPECT_EQ(Field(c, 122, 18), u"000000200001010000");
  EXPECT_EQ(Field(c, 158, 15), Padded(u"某市公安局", 15));
  EXPECT_EQ(Field(c, 188, 8), u"20200101");
  EXPECT_EQ(Field(c, 204, 8), u"20400101");
  // The rest of the block, card-type unit included, is spaces: kind 1.
  EXPECT_EQ(Field(c, 220, 18), std::u16string(18, u' '));
}

TEST(SampleCards, ForeignFieldsSitAtTheirOffsets) {
  CardImage c = SampleCard(SampleKind::Foreign);
  EXPECT_EQ(Field(c, 0, 60), Padded(u"DOE JANE", 60));
  EXPECT_EQ(Field(c, 120, 1), u"2");
  EXPECT_EQ(Field(c, 122, 15), u"000000000000000");
  EXPECT_EQ(Field(c, 152, 3), u"USA");
  EXPECT_EQ(Field(c, 158, 15), Padded(u"多伊", 15));
  EXPECT_EQ(Field(c, 188, 8), u"20200101");
  EXPECT_EQ(Field(c, 204, 8), u"20300101");
  EXPECT_EQ(Field(c, 220, 8), u"19800101");  // birth date after the validity
  EXPECT_EQ(Field(c, 236, 2), u"01");
  EXPECT_EQ(Field(c, 240, 4), u"0000");
  EXPECT_EQ(Field(c, 248, 1), u"I");
  EXPECT_EQ(Field(c, 250, 3), u"   ");
}

TEST(SampleCards, HmtFieldsSitAtTheirOffsets) {
  CardImage c = SampleCard(SampleKind::Hmt);
  EXPECT_EQ(Field(c, 0, 15), Padded(u"李四", 15));
  EXPECT_EQ(Field(c, 30, 1), u"1");
  EXPECT_EQ(Field(c, 32, 2), u"  ");  // no nation code on this card
  EXPECT_EQ(Field(c, 36, 8), u"19900101");
  EXPECT_EQ(Field(c, 52, 35), Padded(u"某省某市某区某路2号", 35));
  EXPECT_EQ(Field(c, 122, 18), u"000000199001010000");
  EXPECT_EQ(Field(c, 158, 15), Padded(u"某市公安局", 15));
  EXPECT_EQ(Field(c, 188, 8), u"20200101");
  EXPECT_EQ(Field(c, 204, 8), u"20250101");
  EXPECT_EQ(Field(c, 220, 9), u"H00000000");
  EXPECT_EQ(Field(c, 238, 2), u"01");
  EXPECT_EQ(Field(c, 248, 1), u"J");
}

TEST(SampleCards, PhotosAreDistinctStandInPictures) {
  std::vector<std::uint8_t> rgb[3];
  const SampleKind kinds[] = {SampleKind::Resident, SampleKind::Foreign, SampleKind::Hmt};
  for (int i = 0; i < 3; ++i) {
    CardImage c = SampleCard(kinds[i]);
    ASSERT_TRUE(standin::DecodeStandinPhoto(c.photo, sizeof c.photo, &rgb[i])) << i;
    EXPECT_EQ(rgb[i].size(), 102u * 126u * 3u);
  }
  EXPECT_NE(rgb[0], rgb[1]);
  EXPECT_NE(rgb[1], rgb[2]);
}

// --- card files ---

class TempDir {
 public:
  TempDir() {
    std::random_device rd;
    for (int attempt = 0; attempt < 16 && path_.empty(); ++attempt) {
      auto p = std::filesystem::temp_directory_path() /
               ("talvex-simcards-" + std::to_string(rd()) + std::to_string(rd()));
      std::error_code ec;
      if (std::filesystem::create_directory(p, ec)) path_ = p.string();
    }
  }
  ~TempDir() {
    std::error_code ec;
    if (!path_.empty()) std::filesystem::remove_all(path_, ec);
  }
  std::string Write(const std::string& name, const std::string& content) {
    std::string p = path_ + "/" + name;
    std::ofstream(p, std::ios::binary) << content;
    return p;
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

TEST(CardFiles, ShippedFilesEqualTheSamples) {
  struct Shipped {
    const char* file;
    SampleKind kind;
  } files[] = {{"resident.ini", SampleKind::Resident},
               {"foreign.ini", SampleKind::Foreign},
               {"hmt.ini", SampleKind::Hmt}};
  for (const Shipped& s : files) {
    CardImage loaded;
    std::string error;
    ASSERT_TRUE(LoadCardFile(std::string(SIM_CARDS_DIR) + "/" + s.file, &loaded, &error)) << error;
    CardImage sample = SampleCard(s.kind);
    EXPECT_TRUE(std::equal(loaded.text, loaded.text + 256, sample.text)) << s.file;
    EXPECT_TRUE(std::equal(loaded.photo, loaded.photo + 1024, sample.photo)) << s.file;
  }
}

TEST(CardFiles, QuotesKeepSpacesAndMissingFieldsStayBlank) {
  CardImage c;
  std::string error;
  const char* text =
      "[card]\r\n"
      "kind = hmt\r\n"
      "; a comment\r\n"
      "issueCount = \"1 \"\r\n"
      "name=  王 五  \r\n";
  ASSERT_TRUE(ParseCardText(text, "", "t.ini", &c, &error)) << error;
  EXPECT_EQ(Field(c, 238, 2), u"1 ");
  EXPECT_EQ(Field(c, 0, 15), Padded(u"王 五", 15));  // outer blanks trimmed, inner kept
  EXPECT_EQ(Field(c, 220, 9), std::u16string(9, u' '));
  EXPECT_EQ(Field(c, 248, 1), u"J");
}

TEST(CardFiles, KindDefaultsToResidentAndMayComeLast) {
  CardImage c;
  std::string error;
  ASSERT_TRUE(ParseCardText("name = 甲\n", "", "a.ini", &c, &error)) << error;
  EXPECT_EQ(Field(c, 248, 1), u" ");
  ASSERT_TRUE(ParseCardText("englishName = X\nkind = foreign\n", "", "b.ini", &c, &error)) << error;
  EXPECT_EQ(Field(c, 0, 1), u"X");
  EXPECT_EQ(Field(c, 248, 1), u"I");
}

TEST(CardFiles, FieldsFillTheirWholeWidth) {
  CardImage c;
  std::string error;
  std::string sixty(60, 'A');
  ASSERT_TRUE(ParseCardText("kind=foreign\nenglishName=" + sixty + "\n", "", "f", &c, &error))
      << error;
  EXPECT_EQ(Field(c, 0, 60), std::u16string(60, u'A'));
  EXPECT_EQ(Field(c, 120, 1), u" ");  // the next field is untouched
}

TEST(CardFiles, MistakesAreReportedWithFileLineAndReason) {
  struct Bad {
    std::string text;
    const char* mentions;
  } cases[] = {
      {"kind = passport\n", "bad.ini:1: unknown kind \"passport\""},
      {"kind = resident\nsurname = 张\n", "bad.ini:2: unknown field \"surname\""},
      {"kind = foreign\nname = 张\n", "unknown field \"name\" for a foreign card"},
      {"name = 张三张三张三张三张三张三张三张三\n",
       "\"name\" is 16 UTF-16 units long; the card field holds 15"},
      {"genderCode = 12\n", "holds 1"},
      {"name = 甲\n\nname = 乙\n", "bad.ini:3: \"name\" given twice (first on line 1)"},
      {"nationName = 汉\n", "worked out by the service"},
      {"name 张三\n", "bad.ini:1: expected key = value"},
      {" = 1\n", "missing key"},
      {"name = \xC3\x28\n", "not valid UTF-8"},
      {"photo = nothere.bmp\n", "bad.ini:1: photo \"nothere.bmp\": cannot open"},
  };
  for (const Bad& b : cases) {
    CardImage c;
    std::memset(c.text, 0x5A, sizeof c.text);
    std::string error;
    EXPECT_FALSE(ParseCardText(b.text, "/nonexistent-dir/", "bad.ini", &c, &error)) << b.text;
    EXPECT_NE(error.find(b.mentions), std::string::npos) << b.text << " -> " << error;
    EXPECT_EQ(c.text[0], 0x5A) << "card changed on failure: " << b.text;
  }
  CardImage c;
  std::string error;
  EXPECT_FALSE(LoadCardFile("/nonexistent-dir/card.ini", &c, &error));
  EXPECT_NE(error.find("/nonexistent-dir/card.ini: cannot open"), std::string::npos) << error;
}

// A w x h 24-bit BMP, top half `top`, bottom half `bottom` (RGB).
std::string TwoToneBmp(int w, int h, bool topDown, const std::uint8_t top[3],
                       const std::uint8_t bottom[3]) {
  const int stride = (w * 3 + 3) / 4 * 4;
  std::string f(54 + stride * h, '\0');
  auto put32 = [&](std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) f[at + i] = static_cast<char>((v >> (8 * i)) & 0xFF);
  };
  f[0] = 'B';
  f[1] = 'M';
  put32(2, static_cast<std::uint32_t>(f.size()));
  put32(10, 54);
  put32(14, 40);
  put32(18, static_cast<std::uint32_t>(w));
  put32(22, static_cast<std::uint32_t>(topDown ? -h : h));
  f[26] = 1;
  f[28] = 24;
  for (int row = 0; row < h; ++row) {
    const int y = topDown ? row : h - 1 - row;  // picture row stored in this file row
    const std::uint8_t* c = y < h / 2 ? top : bottom;
    for (int x = 0; x < w; ++x) {
      std::size_t at = 54 + static_cast<std::size_t>(row) * stride + x * 3;
      f[at] = static_cast<char>(c[2]);
      f[at + 1] = static_cast<char>(c[1]);
      f[at + 2] = static_cast<char>(c[0]);
    }
  }
  return f;
}

TEST(CardPhotoFromBitmap, PictureIsScaledAndTheRightWayUp) {
  const std::uint8_t red[3] = {220, 20, 20}, blue[3] = {20, 20, 220};
  for (bool topDown : {false, true}) {
    std::string file = TwoToneBmp(51, 63, topDown, red, blue);  // half size: scaled up
    std::vector<std::uint8_t> bytes(file.begin(), file.end());
    std::vector<std::uint8_t> rgb;
    std::string why;
    ASSERT_TRUE(DecodeBitmapScaled(bytes, kPhotoWidth, kPhotoHeight, &rgb, &why)) << why;
    ASSERT_EQ(rgb.size(), 102u * 126u * 3u);
    const std::uint8_t* first = &rgb[(5 * 102 + 50) * 3];
    const std::uint8_t* last = &rgb[(120 * 102 + 50) * 3];
    EXPECT_EQ(first[0], 220) << topDown;
    EXPECT_EQ(first[2], 20) << topDown;
    EXPECT_EQ(last[2], 220) << topDown;
  }
}

TEST(CardPhotoFromBitmap, CardFileServesItsOwnPicture) {
  TempDir dir;
  ASSERT_FALSE(dir.path().empty());
  const std::uint8_t red[3] = {230, 10, 10}, green[3] = {10, 200, 10};
  dir.Write("face.bmp", TwoToneBmp(204, 252, false, red, green));
  std::string card = dir.Write("card.ini", "kind = resident\nname = 甲\nphoto = face.bmp\n");
  CardImage c;
  std::string error;
  ASSERT_TRUE(LoadCardFile(card, &c, &error)) << error;  // photo relative to the card file
  std::vector<std::uint8_t> rgb;
  ASSERT_TRUE(standin::DecodeStandinPhoto(c.photo, sizeof c.photo, &rgb));
  const std::uint8_t* top = &rgb[(10 * 102 + 50) * 3];
  const std::uint8_t* bottom = &rgb[(115 * 102 + 50) * 3];
  EXPECT_GT(top[0], 150);  // red survives the lossy photo format
  EXPECT_LT(top[1], 80);
  EXPECT_GT(bottom[1], 130);
  EXPECT_LT(bottom[0], 80);
}

TEST(CardPhotoFromBitmap, UnsupportedOrBrokenFilesAreRefused) {
  const std::uint8_t a[3] = {1, 2, 3};
  std::string good = TwoToneBmp(8, 8, false, a, a);
  std::vector<std::uint8_t> rgb;
  std::string why;

  std::vector<std::uint8_t> truncated(good.begin(), good.end() - 10);
  EXPECT_FALSE(DecodeBitmapScaled(truncated, 102, 126, &rgb, &why));
  EXPECT_NE(why.find("shorter"), std::string::npos) << why;

  std::vector<std::uint8_t> eightBit(good.begin(), good.end());
  eightBit[28] = 8;
  EXPECT_FALSE(DecodeBitmapScaled(eightBit, 102, 126, &rgb, &why));
  EXPECT_NE(why.find("24- or 32-bit"), std::string::npos) << why;

  std::vector<std::uint8_t> zeroWide(good.begin(), good.end());
  zeroWide[18] = zeroWide[19] = zeroWide[20] = zeroWide[21] = 0;
  EXPECT_FALSE(DecodeBitmapScaled(zeroWide, 102, 126, &rgb, &why));

  std::vector<std::uint8_t> notBmp = {'P', 'N', 'G'};
  EXPECT_FALSE(DecodeBitmapScaled(notBmp, 102, 126, &rgb, &why));
  EXPECT_NE(why.find("not a BMP"), std::string::npos) << why;
}

}  // namespace
}  // namespace talvex::sim
