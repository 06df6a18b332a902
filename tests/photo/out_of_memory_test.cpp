// The photo file and the bitmap file when the memory for their paths cannot
// be had: the card read gets its file error or its load failure as a result
// code, and nothing is thrown into the request.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <new>
#include <string>
#include <vector>

#include "card/result_codes.h"
#include "photo/decode_photo.h"
#include "photo/decoder.h"
#include "photo/photo.h"
#include "photo_support.h"

// ---------------------------------------------------------------------------
// The replacement operators below hand out malloc'ed memory and give it back
// with free; GCC, seeing only the standard operator new at an inlined call
// site, takes that for a mismatch.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif

// While armed, every allocation of this test program through the scalar
// allocator (which the array forms and the standard strings use) is refused.
namespace {
bool refuseAllocations = false;

void* Allocate(std::size_t size) {
  if (refuseAllocations) return nullptr;
  return std::malloc(size == 0 ? 1 : size);
}
}  // namespace

void* operator new(std::size_t size) {
  if (void* p = Allocate(size)) return p;
  throw std::bad_alloc();
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  return Allocate(size);
}
void operator delete(void* p) noexcept {
  std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
  std::free(p);
}
void operator delete(void* p, const std::nothrow_t&) noexcept {
  std::free(p);
}
// ---------------------------------------------------------------------------

namespace talvex {
namespace {

class RefusedAllocations {
 public:
  RefusedAllocations() { refuseAllocations = true; }
  ~RefusedAllocations() { refuseAllocations = false; }
};

int decoderCalls = 0;
int TALVEX_VENDOR_CALL CountingDecoder(char*, int) {
  ++decoderCalls;
  return 1;
}

TEST(OutOfMemory, PhotoFileThatCannotBeCreatedGives278WithoutTheDecoder) {
  test::ScratchDir dir;
  const std::u16string path = test::Wide(dir.File("image.wlt"));
  std::vector<std::uint8_t> block(4 + 256 + 512, 0x5A);
  block[0] = 0x01;  // text length 256
  block[1] = 0x00;
  block[2] = 0x02;  // photo length 512
  block[3] = 0x00;
  ScopedPhotoDecoder decoder(CountingDecoder);
  decoderCalls = 0;

  ResultCode rc = kOk;
  {
    RefusedAllocations refused;
    rc = DecodePhoto(block.data(), path.c_str(), 2001);
  }
  EXPECT_EQ(rc, kFileError);
  EXPECT_EQ(decoderCalls, 0);
  EXPECT_FALSE(test::Exists(dir.File("image.wlt")));
}

TEST(OutOfMemory, BitmapThatCannotBeOpenedGives285AndAnEmptyPhotoText) {
  test::ScratchDir dir;
  test::WriteBytes(dir.File("image.bmp"), test::MakeBitmap(test::BitmapSpec{}));
  const std::u16string path = test::Wide(dir.File("image.bmp"));
  std::string photoText;

  ResultCode rc = kOk;
  {
    RefusedAllocations refused;
    rc = EncodePhoto(path.c_str(), photoText);
  }
  EXPECT_EQ(rc, kLoadImageFailed);
  EXPECT_TRUE(photoText.empty());
}

}  // namespace
}  // namespace talvex
