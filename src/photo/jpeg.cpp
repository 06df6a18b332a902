#include "photo/jpeg.h"

#include <csetjmp>
#include <cstdlib>
#include <cstring>

#include <jerror.h>

#include "photo/bitmap.h"

namespace talvex {
namespace {

// The standard error manager with a recovery point: an error the library
// raises is printed by its output_message and then jumps back to EncodeJpeg.
struct RecoveringErrorManager {
  jpeg_error_mgr manager;  // first, so the library's pointer reaches the whole
  std::jmp_buf recovery;
};

[[noreturn]] void RecoverFromError(j_common_ptr cinfo) {
  (*cinfo->err->output_message)(cinfo);
  std::longjmp(reinterpret_cast<RecoveringErrorManager*>(cinfo->err)->recovery, 1);
}

JpegMemoryDestination* DestinationOf(j_compress_ptr cinfo) {
  return reinterpret_cast<JpegMemoryDestination*>(cinfo->dest);
}

void InitDestination(j_compress_ptr cinfo) {
  JpegMemoryDestination* d = DestinationOf(cinfo);
  d->manager.next_output_byte = d->buffer;
  d->manager.free_in_buffer = kJpegStagingSize;
}

boolean EmptyOutputBuffer(j_compress_ptr cinfo) {
  JpegMemoryDestination* d = DestinationOf(cinfo);
  if (d->file->Write(d->buffer, 1, kJpegStagingSize) != kJpegStagingSize)
    ERREXIT(cinfo, JERR_FILE_WRITE);
  d->manager.next_output_byte = d->buffer;
  d->manager.free_in_buffer = kJpegStagingSize;
  return TRUE;
}

void TermDestination(j_compress_ptr cinfo) {
  JpegMemoryDestination* d = DestinationOf(cinfo);
  const std::size_t n = kJpegStagingSize - d->manager.free_in_buffer;
  if (n > 0 && d->file->Write(d->buffer, 1, n) == 0) ERREXIT(cinfo, JERR_FILE_WRITE);
  d->file->Flush();
  if (d->file->Error() != 0) ERREXIT(cinfo, JERR_FILE_WRITE);
}

std::int32_t I32(const std::uint8_t* p) {
  return static_cast<std::int32_t>(
      static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
      (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24));
}

// What an encoding holds. It lives in EncodeJpeg's caller frame and is reached
// through a pointer, so its values stay valid after a jump back from the
// library (only the locals of the function that calls setjmp are in doubt).
struct Encoding {
  jpeg_compress_struct cinfo;
  RecoveringErrorManager errors;
  JpegMemoryDestination destination;
  std::uint8_t* row;
};

// Everything between the recovery point and the end of the compression. No
// local here has a destructor, and none is changed after setjmp and read after
// the jump.
ResultCode Compress(Encoding* e, CxFile* file, const std::uint8_t* pixels, JpegParams params,
                    std::int32_t width, std::int32_t height) {
  e->cinfo.err = jpeg_std_error(&e->errors.manager);
  e->errors.manager.error_exit = RecoverFromError;
  if (setjmp(e->errors.recovery) != 0) {
    jpeg_destroy_compress(&e->cinfo);
    std::free(e->row);
    e->row = nullptr;
    ReleaseJpegMemoryDestination(&e->destination);
    return kJpegEncodeFailed;
  }
  jpeg_create_compress(&e->cinfo);
  if (!MakeJpegMemoryDestination(&e->destination, file)) {
    jpeg_destroy_compress(&e->cinfo);
    return kOutOfMemory;
  }
  e->cinfo.dest = &e->destination.manager;

  e->cinfo.image_width = static_cast<JDIMENSION>(width);
  e->cinfo.image_height = static_cast<JDIMENSION>(height);
  e->cinfo.input_components = 3;
  e->cinfo.in_color_space = JCS_RGB;
  jpeg_set_defaults(&e->cinfo);
  jpeg_set_quality(&e->cinfo, params.quality, TRUE);
  e->cinfo.density_unit = 1;
  e->cinfo.X_density = static_cast<UINT16>(params.xDensity & 0xFFFF);
  e->cinfo.Y_density = static_cast<UINT16>(params.yDensity & 0xFFFF);
  jpeg_start_compress(&e->cinfo, TRUE);

  const std::size_t stride = static_cast<std::size_t>(BitmapStride(width));
  e->row = static_cast<std::uint8_t*>(std::malloc(stride));
  if (e->row == nullptr) {
    jpeg_destroy_compress(&e->cinfo);
    ReleaseJpegMemoryDestination(&e->destination);
    return kOutOfMemory;
  }
  // Stored rows run bottom-up; the library wants the top first, in RGB.
  for (std::int32_t y = height - 1; y >= 0; --y) {
    const std::uint8_t* src = pixels + static_cast<std::size_t>(y) * stride;
    for (std::int32_t x = 0; x < width; ++x) {
      e->row[3 * x] = src[3 * x + 2];
      e->row[3 * x + 1] = src[3 * x + 1];
      e->row[3 * x + 2] = src[3 * x];
    }
    JSAMPROW rowPointer = e->row;
    jpeg_write_scanlines(&e->cinfo, &rowPointer, 1);
  }
  std::free(e->row);
  e->row = nullptr;
  jpeg_finish_compress(&e->cinfo);
  jpeg_destroy_compress(&e->cinfo);
  ReleaseJpegMemoryDestination(&e->destination);
  return kOk;
}

}  // namespace

bool MakeJpegMemoryDestination(JpegMemoryDestination* destination, CxFile* file) {
  destination->manager.next_output_byte = nullptr;
  destination->manager.free_in_buffer = 0;
  destination->manager.init_destination = InitDestination;
  destination->manager.empty_output_buffer = EmptyOutputBuffer;
  destination->manager.term_destination = TermDestination;
  destination->file = file;
  destination->buffer = static_cast<JOCTET*>(std::malloc(kJpegStagingSize));
  return destination->buffer != nullptr;
}

void ReleaseJpegMemoryDestination(JpegMemoryDestination* destination) {
  std::free(destination->buffer);
  destination->buffer = nullptr;
}

ResultCode EncodeJpeg(CxFile& file, const std::uint8_t* header, const std::uint8_t* pixels,
                      const JpegParams& params) {
  if (header == nullptr || pixels == nullptr) return kJpegEncodeFailed;
  const std::int32_t width = I32(header + kBitmapWidthOffset);
  const std::int32_t height = I32(header + kBitmapHeightOffset);
  const int bitsPerPixel =
      header[kBitmapBitsPerPixelOffset] | (header[kBitmapBitsPerPixelOffset + 1] << 8);
  if (bitsPerPixel != 24 || width <= 0 || height <= 0) return kJpegEncodeFailed;

  Encoding encoding;
  std::memset(&encoding, 0, sizeof encoding);
  return Compress(&encoding, &file, pixels, params, width, height);
}

ResultCode EncodeJpegToMemory(std::uint8_t*& jpeg, std::int32_t& length, const std::uint8_t* header,
                              const std::uint8_t* pixels, const JpegParams& params) {
  CxMemFile memory;
  if (!memory.Open()) return kOutOfMemory;
  const ResultCode result = EncodeJpeg(memory, header, pixels, params);
  if (result != kOk) return result;  // the memory file frees its buffer
  const std::int32_t size = memory.Size();
  std::uint8_t* buffer = memory.GetBuffer(true);
  if (buffer == nullptr || size <= 0) {
    std::free(buffer);
    return kJpegEncodeFailed;
  }
  jpeg = buffer;
  length = size;
  return kOk;
}

}  // namespace talvex
