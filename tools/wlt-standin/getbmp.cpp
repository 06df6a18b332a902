// The stand-in photo decoder library: GetBmp for photo files in the stand-in
// format only. It never decodes a real card photo (see README.md).
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/dynlib.h"
#include "platform/fs.h"
#include "platform/utf.h"
#include "wlt-standin/standin_format.h"

#if defined(_WIN32)
#define TALVEX_EXPORT __declspec(dllexport)
#else
#define TALVEX_EXPORT __attribute__((visibility("default")))
#endif

namespace {

constexpr int kProduced = 1;
constexpr int kBadExtension = -2;
constexpr int kCannotOpen = -3;
constexpr int kBadFormat = -4;

// Larger photo files are not ours (a stand-in block is 1024 bytes).
constexpr std::size_t kLargestPhotoFile = 64 * 1024;

void PutLe(std::vector<std::uint8_t>& out, std::size_t at, std::uint32_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out[at + i] = static_cast<std::uint8_t>(value >> (8 * i));
}

// A 24-bit bottom-up BMP with a 40-byte information header.
std::vector<std::uint8_t> MakeBitmap(const std::vector<std::uint8_t>& rgbTopDown) {
  using talvex::standin::kHeight;
  using talvex::standin::kWidth;
  constexpr std::size_t kHeaders = 14 + 40;
  constexpr std::size_t kStride = (kWidth * 3 + 3) & ~std::size_t{3};
  constexpr std::size_t kImage = kStride * kHeight;
  std::vector<std::uint8_t> bmp(kHeaders + kImage, 0);
  bmp[0] = 'B';
  bmp[1] = 'M';
  PutLe(bmp, 2, kHeaders + kImage, 4);
  PutLe(bmp, 10, kHeaders, 4);
  PutLe(bmp, 14, 40, 4);
  PutLe(bmp, 18, kWidth, 4);
  PutLe(bmp, 22, kHeight, 4);
  PutLe(bmp, 26, 1, 2);   // planes
  PutLe(bmp, 28, 24, 2);  // bits per pixel; compression 0 (none)
  PutLe(bmp, 34, kImage, 4);
  PutLe(bmp, 38, 3780, 4);  // 96 dots per inch, in dots per metre
  PutLe(bmp, 42, 3780, 4);
  for (int y = 0; y < kHeight; ++y) {
    const std::uint8_t* src = rgbTopDown.data() + static_cast<std::size_t>(y) * kWidth * 3;
    std::uint8_t* row = bmp.data() + kHeaders + static_cast<std::size_t>(kHeight - 1 - y) * kStride;
    for (int x = 0; x < kWidth; ++x) {
      row[3 * x] = src[3 * x + 2];  // blue, green, red
      row[3 * x + 1] = src[3 * x + 1];
      row[3 * x + 2] = src[3 * x];
    }
  }
  return bmp;
}

bool HasPhotoExtension(const std::u16string& path, std::size_t* dot) {
  const std::size_t slash = path.find_last_of(u"/\\");
  const std::size_t found = path.rfind(u'.');
  if (found == std::u16string::npos || (slash != std::u16string::npos && found < slash))
    return false;
  const std::u16string ext = path.substr(found + 1);
  if (ext.size() != 3) return false;
  auto lower = [](char16_t c) { return c >= u'A' && c <= u'Z' ? c + (u'a' - u'A') : c; };
  if (lower(ext[0]) != u'w' || lower(ext[1]) != u'l' || lower(ext[2]) != u't') return false;
  *dot = found;
  return true;
}

int DecodeFile(const char* ansiPath, int mode) {
  if (ansiPath == nullptr) return kCannotOpen;
  const std::u16string path = talvex::Utf8ToUtf16(ansiPath);
  std::size_t dot = 0;
  if (!HasPhotoExtension(path, &dot)) return kBadExtension;

  std::vector<std::uint8_t> photo(kLargestPhotoFile + 1);
  std::size_t got = 0;
  {
    talvex::platform::File file = talvex::platform::File::OpenForReading(path.c_str());
    if (!file.IsOpen()) return kCannotOpen;
    if (!file.Read(photo.data(), photo.size(), &got)) return kCannotOpen;
  }
  // Both modes decode alike: the stand-in needs no reader security module.
  if (mode != 1 && mode != 2) return kBadFormat;
  if (got > kLargestPhotoFile) return kBadFormat;
  std::vector<std::uint8_t> rgb;
  if (!talvex::standin::DecodeStandinPhoto(photo.data(), got, &rgb)) return kBadFormat;

  const std::vector<std::uint8_t> bmp = MakeBitmap(rgb);
  const std::u16string bmpPath = path.substr(0, dot) + u".bmp";
  talvex::platform::File out = talvex::platform::File::CreateForWriting(bmpPath.c_str());
  if (!out.IsOpen()) return kBadFormat;
  std::size_t written = 0;
  if (!out.Write(bmp.data(), bmp.size(), &written) || written != bmp.size()) return kBadFormat;
  return kProduced;
}

}  // namespace

extern "C" TALVEX_EXPORT int TALVEX_VENDOR_CALL GetBmp(char* path, int mode) {
  try {
    return DecodeFile(path, mode);
  } catch (...) {  // no exception may cross into the caller
    return kBadFormat;
  }
}
