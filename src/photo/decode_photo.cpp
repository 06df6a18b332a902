#include "photo/decode_photo.h"

#include <cstddef>
#include <new>

#include "photo/decoder.h"
#include "platform/fs.h"

namespace talvex {
namespace {

// Room for the decoder's path, terminator included (MAX_PATH).
constexpr std::size_t kAnsiPathCapacity = 260;

ResultCode MapDecoderReturn(int value) {
  switch (value) {
    case 1:
      return kOk;
    case 0:
      return kDecoderSdtapiError;
    case -1:
      return kDecoderPhotoError;
    case -2:
      return kDecoderBadExtension;
    case -3:
      return kDecoderOpenError;
    case -4:
      return kDecoderFormatError;
    case -6:
      return kDecoderDeviceError;
    default:
      return kDecoderOtherError;
  }
}

}  // namespace

ResultCode DecodePhoto(std::span<const std::uint8_t> photo, const char16_t* photoPath,
                       std::int32_t selector) {
  // A path whose decoder form does not fit would reach the decoder cut short
  // or unterminated; it is refused as a file error before anything is written.
  char ansiPath[kAnsiPathCapacity];
  if (platform::PathToAnsi(photoPath, ansiPath, sizeof ansiPath) == 0) return kFileError;

  {
    platform::File file = platform::File::CreateForWriting(photoPath);
    if (!file.IsOpen()) return kFileError;
    std::size_t written = 0;
    const bool ok = file.Write(photo.data(), photo.size(), &written);
    file.Close();
    if (!ok || written != photo.size()) return kFileError;
  }

  const int mode = selector >= 1000 ? 2 : 1;
  // The first look-up loads the library and may run out of memory; it is
  // tried again by the next request.
  GetBmpFunction getBmp = nullptr;
  try {
    getBmp = PhotoDecoder();
  } catch (const std::bad_alloc&) {
    return kOutOfMemory;
  }
  if (getBmp == nullptr) return kDecoderOtherError;
  return MapDecoderReturn(getBmp(ansiPath, mode));
}

}  // namespace talvex
