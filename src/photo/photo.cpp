#include "photo/photo.h"

#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <stdexcept>

#include "photo/bitmap.h"
#include "photo/jpeg.h"

namespace talvex {
namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

constexpr JpegParams kPhotoParams{96, 96, 80};

struct FreeDeleter {
  void operator()(void* p) const { std::free(p); }
};

}  // namespace

std::uint32_t Base64Encode(std::uint32_t length, const std::uint8_t* data, char* out,
                           std::uint32_t capacity) {
  // In 64 bits the requirement cannot wrap round to a small number.
  const std::uint64_t required = (static_cast<std::uint64_t>(length) + 2) / 3 * 4 + 1;
  if (capacity < required || out == nullptr || (length > 0 && data == nullptr)) return 0;
  char* o = out;
  std::uint32_t i = 0;
  for (; length - i >= 3; i += 3) {
    const unsigned b0 = data[i], b1 = data[i + 1], b2 = data[i + 2];
    *o++ = kAlphabet[b0 >> 2];
    *o++ = kAlphabet[((b0 & 3) << 4) | (b1 >> 4)];
    *o++ = kAlphabet[((b1 & 15) << 2) | (b2 >> 6)];
    *o++ = kAlphabet[b2 & 63];
  }
  if (length - i == 1) {
    const unsigned b0 = data[i];
    *o++ = kAlphabet[b0 >> 2];
    *o++ = kAlphabet[(b0 & 3) << 4];
    *o++ = '=';
    *o++ = '=';
  } else if (length - i == 2) {
    const unsigned b0 = data[i], b1 = data[i + 1];
    *o++ = kAlphabet[b0 >> 2];
    *o++ = kAlphabet[((b0 & 3) << 4) | (b1 >> 4)];
    *o++ = kAlphabet[(b1 & 15) << 2];
    *o++ = '=';
  }
  *o = '\0';
  return static_cast<std::uint32_t>(o - out);
}

ResultCode EncodePhoto(const char16_t* bmpPath, std::string& photoText) {
  std::uint8_t* pixels = nullptr;
  const std::unique_ptr<std::uint8_t, FreeDeleter> bitmap(LoadBitmapFile(bmpPath, pixels));
  if (!bitmap) return kLoadImageFailed;

  std::uint8_t* jpegBytes = nullptr;
  std::int32_t jpegLength = 0;
  const ResultCode result =
      EncodeJpegToMemory(jpegBytes, jpegLength, bitmap.get(), pixels, kPhotoParams);
  if (result != kOk) return result;
  const std::unique_ptr<std::uint8_t, FreeDeleter> jpeg(jpegBytes);

  // Four characters more than the text needs, as the size check wants.
  const std::int64_t room = (static_cast<std::int64_t>(jpegLength) + 5) / 3 * 4;
  if (room > static_cast<std::int64_t>(UINT32_MAX)) return kOutOfMemory;
  try {
    photoText.resize(static_cast<std::size_t>(room));
  } catch (const std::bad_alloc&) {
    return kOutOfMemory;
  } catch (const std::length_error&) {
    return kOutOfMemory;
  }
  // The string keeps room for its terminator behind `room` characters; the
  // text with its NUL takes at most room - 3 of them. What the string held
  // before is overwritten from the start.
  Base64Encode(static_cast<std::uint32_t>(jpegLength), jpeg.get(), photoText.data(),
               static_cast<std::uint32_t>(room));
  photoText.resize(std::strlen(photoText.c_str()));
  return kOk;
}

}  // namespace talvex
