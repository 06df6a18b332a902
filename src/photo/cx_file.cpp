#include "photo/cx_file.h"

#include <cstdlib>
#include <cstring>
#include <limits>

namespace talvex {
namespace {

// itemSize * count, saturated instead of wrapping.
std::size_t Product(std::size_t itemSize, std::size_t count) {
  if (count != 0 && itemSize > std::numeric_limits<std::size_t>::max() / count)
    return std::numeric_limits<std::size_t>::max();
  return itemSize * count;
}

}  // namespace

CxFile::~CxFile() = default;

bool CxFile::PutByte(std::uint8_t byte) {
  return Write(&byte, 1, 1) == 1;
}

CxMemFile::CxMemFile(std::uint8_t* buffer, std::int32_t size)
    : buffer_(buffer), size_(size < 0 ? 0 : size), position_(0), capacity_(size_) {}

CxMemFile::~CxMemFile() {
  if (ownsBuffer_) std::free(buffer_);
}

bool CxMemFile::Open() {
  auto* first = static_cast<std::uint8_t*>(std::malloc(1));
  if (first == nullptr) return false;
  if (ownsBuffer_) std::free(buffer_);
  buffer_ = first;
  ownsBuffer_ = true;
  size_ = position_ = capacity_ = 0;
  return true;
}

std::uint8_t* CxMemFile::GetBuffer(bool detach) {
  if (detach) ownsBuffer_ = false;
  return buffer_;
}

bool CxMemFile::Close() {
  if (buffer_ != nullptr && ownsBuffer_) {
    std::free(buffer_);
    buffer_ = nullptr;
    size_ = position_ = capacity_ = 0;
    ownsBuffer_ = false;
  }
  return true;
}

std::size_t CxMemFile::Read(void* dst, std::size_t itemSize, std::size_t count) {
  const std::size_t wanted = Product(itemSize, count);
  if (dst == nullptr || buffer_ == nullptr || position_ >= size_ || wanted == 0) return 0;
  const std::size_t available = static_cast<std::size_t>(size_ - position_);
  const std::size_t n = wanted < available ? wanted : available;
  std::memcpy(dst, buffer_ + position_, n);
  position_ += static_cast<std::int32_t>(n);
  return n / itemSize;
}

bool CxMemFile::Reserve(std::int64_t end) {
  if (end <= capacity_) return true;
  const std::int64_t grown = end / kGrowStep * kGrowStep + kGrowStep;
  if (grown > std::numeric_limits<std::int32_t>::max()) return false;
  std::uint8_t* bigger;
  if (ownsBuffer_) {
    bigger = static_cast<std::uint8_t*>(std::realloc(buffer_, static_cast<std::size_t>(grown)));
    if (bigger == nullptr) return false;
  } else {
    // Someone else's memory is never handed to realloc: copy it instead.
    bigger = static_cast<std::uint8_t*>(std::malloc(static_cast<std::size_t>(grown)));
    if (bigger == nullptr) return false;
    if (buffer_ != nullptr && size_ > 0)
      std::memcpy(bigger, buffer_, static_cast<std::size_t>(size_));
  }
  buffer_ = bigger;
  ownsBuffer_ = true;
  capacity_ = static_cast<std::int32_t>(grown);
  return true;
}

void CxMemFile::FillGap() {
  if (position_ > size_)
    std::memset(buffer_ + size_, 0, static_cast<std::size_t>(position_ - size_));
}

std::size_t CxMemFile::Write(const void* src, std::size_t itemSize, std::size_t count) {
  const std::size_t n = Product(itemSize, count);
  if (buffer_ == nullptr || src == nullptr || n == 0) return 0;
  if (n > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max())) return 0;
  const std::int64_t end = static_cast<std::int64_t>(position_) + static_cast<std::int64_t>(n);
  if (!Reserve(end)) return 0;
  FillGap();
  std::memcpy(buffer_ + position_, src, n);
  position_ = static_cast<std::int32_t>(end);
  if (position_ > size_) size_ = position_;
  return count;
}

bool CxMemFile::Seek(std::int32_t offset, int origin) {
  if (buffer_ == nullptr) return false;
  std::int64_t base;
  switch (origin) {
    case 0:
      base = 0;
      break;
    case 1:
      base = position_;
      break;
    case 2:
      base = size_;
      break;
    default:
      return false;
  }
  std::int64_t target = base + offset;
  if (target < 0) target = 0;
  if (target > std::numeric_limits<std::int32_t>::max())
    target = std::numeric_limits<std::int32_t>::max();
  position_ = static_cast<std::int32_t>(target);
  return true;
}

std::int32_t CxMemFile::Tell() {
  return buffer_ == nullptr ? -1 : position_;
}

std::int32_t CxMemFile::Size() {
  return buffer_ == nullptr ? -1 : size_;
}

bool CxMemFile::Flush() {
  return buffer_ != nullptr;
}

bool CxMemFile::Eof() {
  return buffer_ == nullptr || position_ >= size_;
}

std::int32_t CxMemFile::Error() {
  if (buffer_ == nullptr) return -1;
  return position_ > size_ ? 1 : 0;
}

bool CxMemFile::PutByte(std::uint8_t byte) {
  if (buffer_ == nullptr) return false;
  if (position_ >= capacity_ && !Reserve(static_cast<std::int64_t>(position_) + 1)) return false;
  FillGap();
  buffer_[position_++] = byte;
  if (position_ > size_) size_ = position_;
  return true;
}

std::int32_t CxMemFile::GetByte() {
  if (Eof()) return -1;
  return buffer_[position_++];
}

char* CxMemFile::GetLine(char* buffer, std::int32_t n) {
  if (buffer == nullptr || n <= 0) return nullptr;
  std::int32_t stored = 0;
  while (stored < n - 1) {
    // The end of the data before a line feed or the limit fails the whole
    // call, as it does on the first byte: null, and no terminator written.
    const std::int32_t c = GetByte();
    if (c < 0) return nullptr;
    buffer[stored++] = static_cast<char>(c);
    if (c == '\n') break;
  }
  buffer[stored] = '\0';
  return buffer;
}

std::int32_t CxMemFile::Scan(const char*, void*) {
  return 0;
}

}  // namespace talvex
