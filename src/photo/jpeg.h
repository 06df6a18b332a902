// Compressing a loaded 24-bit bitmap into JPEG with libjpeg, into any CxFile
// and in particular into memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>  // jpeglib.h needs FILE and size_t declared first

#include <jpeglib.h>

#include "core/result.h"
#include "photo/cx_file.h"

namespace talvex {

struct JpegParams {
  std::int32_t xDensity;  // dots per inch; the low 16 bits are stored
  std::int32_t yDensity;
  std::int32_t quality;
};

inline constexpr std::size_t kJpegStagingSize = 4096;

// The library's destination manager writing to a CxFile through a 4096-byte
// staging buffer. `manager` comes first, so the library's pointer to it is a
// pointer to the whole destination.
struct JpegMemoryDestination {
  jpeg_destination_mgr manager;
  CxFile* file;
  JOCTET* buffer;
};

// Fills in the callbacks and allocates the staging buffer; false when the
// buffer cannot be had. ReleaseJpegMemoryDestination frees it again (safe to
// call more than once).
bool MakeJpegMemoryDestination(JpegMemoryDestination* destination, CxFile* file);
void ReleaseJpegMemoryDestination(JpegMemoryDestination* destination);

// Compresses the bitmap (header: the loaded block, starting with the
// information header; pixels: its bottom-up rows) into file as a baseline
// JFIF JPEG with the given densities and quality. 0, 277 (no memory) or 287
// (a header that is not 24-bit with a non-zero, non-negative width and
// height, refused before the library is called, or any error the library
// raises, whose message it prints first).
ResultCode EncodeJpeg(CxFile& file, const std::uint8_t* header, const std::uint8_t* pixels,
                      const JpegParams& params);

// EncodeJpeg into a growing memory buffer. On 0, jpeg is a malloc'ed buffer
// of `length` bytes the caller frees; on 277 or 287 both are left untouched.
ResultCode EncodeJpegToMemory(std::uint8_t*& jpeg, std::int32_t& length, const std::uint8_t* header,
                              const std::uint8_t* pixels, const JpegParams& params);

}  // namespace talvex
