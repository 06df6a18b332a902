// The bitmap loader and the photo pipeline on any file: the input is written
// to a file in a private folder and loaded. A loaded block must hold the
// information header and every row it declares; the whole pipeline must end
// with one of its codes and, on success, Base64 text.
#include <stdlib.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "core/result.h"
#include "photo/bitmap.h"
#include "photo/photo.h"
#include "platform/utf.h"

namespace {

std::string& FilePath() {
  static std::string path = [] {
    char folder[] = "/tmp/talvex-bitmap-fuzz.XXXXXX";
    if (mkdtemp(folder) == nullptr) std::abort();
    std::string file = std::string(folder) + "/photo.bmp";
    // Removed again when the fuzzer exits.
    static std::string cleanup[2] = {file, folder};
    std::atexit([] {
      unlink(cleanup[0].c_str());
      rmdir(cleanup[1].c_str());
    });
    return file;
  }();
  return path;
}

std::int32_t Int32At(const std::uint8_t* p) {
  std::uint32_t v = 0;
  std::memcpy(&v, p, 4);
  return static_cast<std::int32_t>(v);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string& path = FilePath();
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) std::abort();
  if (size != 0 && std::fwrite(data, 1, size, f) != size) std::abort();
  std::fclose(f);
  const std::u16string wide = talvex::Utf8ToUtf16(path);

  std::uint8_t* pixels = nullptr;
  std::uint8_t* block = talvex::LoadBitmapFile(wide.c_str(), pixels);
  if (block == nullptr) {
    if (pixels != nullptr) std::abort();
  } else {
    if (size < 2 || data[0] != 'B' || data[1] != 'M') std::abort();
    const std::int32_t width = Int32At(block + talvex::kBitmapWidthOffset);
    const std::int32_t height = Int32At(block + talvex::kBitmapHeightOffset);
    std::uint16_t bits = 0;
    std::memcpy(&bits, block + talvex::kBitmapBitsPerPixelOffset, 2);
    if (width < 0 || height < 0 || bits != 24 || pixels < block) std::abort();
    // Touch every row byte so that AddressSanitizer sees a short block.
    const std::size_t bytes =
        static_cast<std::size_t>(talvex::BitmapStride(width)) * static_cast<std::size_t>(height);
    if (bytes > size) std::abort();  // the pixels come from the file
    unsigned sum = 0;
    for (std::size_t i = 0; i < bytes; ++i) sum += pixels[i];
    if (sum == 0xFFFFFFFFu) std::abort();  // keeps the loop
    std::free(block);
  }

  std::string text = "unchanged";
  const talvex::ResultCode rc = talvex::EncodePhoto(wide.c_str(), text);
  if (rc == talvex::kOk) {
    if (text.empty() || text.size() % 4 != 0 || block == nullptr) std::abort();
  } else if (text != "unchanged") {
    std::abort();
  }
  return 0;
}
