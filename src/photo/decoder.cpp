#include "photo/decoder.h"

#include <atomic>

namespace talvex {
namespace {

std::atomic<bool> overrideActive{false};
std::atomic<GetBmpFunction> overrideDecoder{nullptr};

GetBmpFunction LibraryDecoder() {
  // Loaded once and kept until the process ends; a failed look-up is not retried.
  static platform::DynamicLibrary library =
      platform::DynamicLibrary::Load(DecoderLibraryFileName().c_str());
  static const GetBmpFunction getBmp = FindGetBmp(library);
  return getBmp;
}

}  // namespace

std::string DecoderLibraryFileName() {
  return platform::SharedLibraryFileName("WltRS");
}

GetBmpFunction FindGetBmp(const platform::DynamicLibrary& library) {
  // A 32-bit Windows DLL may export the __stdcall function under its
  // decorated name only.
  void* symbol = library.Symbol("GetBmp");
  if (symbol == nullptr) symbol = library.Symbol("_GetBmp@8");
  return reinterpret_cast<GetBmpFunction>(symbol);
}

GetBmpFunction PhotoDecoder() {
  if (overrideActive.load(std::memory_order_acquire))
    return overrideDecoder.load(std::memory_order_acquire);
  return LibraryDecoder();
}

ScopedPhotoDecoder::ScopedPhotoDecoder(GetBmpFunction decoder)
    : savedActive_(overrideActive.load()), savedDecoder_(overrideDecoder.load()) {
  overrideDecoder.store(decoder, std::memory_order_release);
  overrideActive.store(true, std::memory_order_release);
}

ScopedPhotoDecoder::~ScopedPhotoDecoder() {
  overrideDecoder.store(savedDecoder_, std::memory_order_release);
  overrideActive.store(savedActive_, std::memory_order_release);
}

}  // namespace talvex
