// Helpers for the photo tests: private scratch folders, bitmap files built
// field by field, and a JPEG decoder to look at what the encoder produced.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace talvex::test {

// A fresh folder (mkdtemp) removed with everything in it at destruction.
class ScratchDir {
 public:
  ScratchDir();
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  const std::string& path() const { return path_; }
  // path()/name
  std::string File(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

std::u16string Wide(const std::string& utf8);

void WriteBytes(const std::string& path, const std::vector<std::uint8_t>& bytes);
std::vector<std::uint8_t> ReadBytes(const std::string& path);
bool Exists(const std::string& path);

// A bitmap file described field by field; every field may be set wrong on
// purpose. Pixels: blue, green, red per pixel, rows as stored (bottom first),
// each row padded to a multiple of 4 with `padByte`.
struct BitmapSpec {
  std::int32_t width = 3;
  std::int32_t height = 2;
  std::uint32_t headerSize = 40;
  std::uint16_t bitsPerPixel = 24;
  std::int64_t pixelOffset = -1;    // -1: 14 + headerSize
  std::int64_t fileSizeField = -1;  // -1: the file's real length
  std::uint8_t padByte = 0xEE;
  std::size_t extraTail = 0;     // bytes appended behind the pixels
  std::int64_t pixelBytes = -1;  // -1: stride * height, else exactly this many
};

// Stored pixel (x, row) of a bitmap made by MakeBitmap: a pattern that
// differs in every byte position of small pictures.
std::uint8_t PatternByte(int x, int row, int channel);

std::vector<std::uint8_t> MakeBitmap(const BitmapSpec& spec);

// A bitmap file from an RGB picture given top row first.
std::vector<std::uint8_t> BitmapFromRgb(int width, int height,
                                        const std::vector<std::uint8_t>& rgb);

struct DecodedJpeg {
  int width = 0;
  int height = 0;
  std::vector<std::uint8_t> rgb;  // top row first
};

// Decodes with libjpeg; false when the data is not a JPEG it can read.
bool DecodeJpeg(const std::uint8_t* data, std::size_t size, DecodedJpeg* out);

// Independent Base64 decoder (standard alphabet, padding required).
bool DecodeBase64(const std::string& text, std::vector<std::uint8_t>* out);

}  // namespace talvex::test
