// The photo decoder library's GetBmp: found on first use ("libWltRS.so" or
// "WltRS.dll", beside the executable first) and kept for the process.
#pragma once

#include <string>

#include "platform/dynlib.h"

namespace talvex {

// GetBmp(path, mode): the photo file's path (NUL-terminated, the system's
// ANSI form), mode 1 for a serial reader and 2 otherwise; 1 after writing the
// bitmap beside the photo file, otherwise a failure value.
using GetBmpFunction = int(TALVEX_VENDOR_CALL*)(char* path, int mode);

// The decoder library's file name on this system ("libWltRS.so", "WltRS.dll").
std::string DecoderLibraryFileName();
// GetBmp in a loaded decoder library, under its plain or its decorated name;
// null when the library exports neither.
GetBmpFunction FindGetBmp(const platform::DynamicLibrary& library);

// The decoder in force: the override of a ScopedPhotoDecoder if one is alive,
// otherwise the library's GetBmp, loaded once (thread-safe); null when the
// library or the function cannot be found.
GetBmpFunction PhotoDecoder();

// Puts `decoder` in place of the library for the object's lifetime (tests). A
// null decoder behaves as a missing library. Install it before the thread that
// decodes starts; scopes nest and restore what was in force before.
class ScopedPhotoDecoder {
 public:
  explicit ScopedPhotoDecoder(GetBmpFunction decoder);
  ~ScopedPhotoDecoder();
  ScopedPhotoDecoder(const ScopedPhotoDecoder&) = delete;
  ScopedPhotoDecoder& operator=(const ScopedPhotoDecoder&) = delete;

 private:
  bool savedActive_;
  GetBmpFunction savedDecoder_;
};

}  // namespace talvex
