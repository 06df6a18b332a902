// Byte streams for the JPEG encoder: the abstract CxFile and CxMemFile, a
// growing buffer in memory.
#pragma once

#include <cstddef>
#include <cstdint>

namespace talvex {

class CxFile {
 public:
  CxFile() = default;
  virtual ~CxFile();
  CxFile(const CxFile&) = delete;
  CxFile& operator=(const CxFile&) = delete;

  virtual bool Close() = 0;
  // Returns whole items read.
  virtual std::size_t Read(void* dst, std::size_t itemSize, std::size_t count) = 0;
  // Returns count, or 0 on failure.
  virtual std::size_t Write(const void* src, std::size_t itemSize, std::size_t count) = 0;
  // origin 0: from the start, 1: from the position, 2: from the end.
  virtual bool Seek(std::int32_t offset, int origin) = 0;
  virtual std::int32_t Tell() = 0;
  virtual std::int32_t Size() = 0;
  virtual bool Flush() = 0;
  virtual bool Eof() = 0;
  // 0 when the stream is sound.
  virtual std::int32_t Error() = 0;
  // Writes one byte with Write; true if it was written.
  virtual bool PutByte(std::uint8_t byte);
  // The next byte (0 to 255), or -1 at the end.
  virtual std::int32_t GetByte() = 0;
  // Reads up to n - 1 bytes, through a line feed (kept), and terminates them.
  // Null, with nothing terminated, when the data ends before either.
  virtual char* GetLine(char* buffer, std::int32_t n) = 0;
  virtual std::int32_t Scan(const char* format, void* out) = 0;
};

class CxMemFile : public CxFile {
 public:
  // Grows in whole steps of this many bytes.
  static constexpr std::int32_t kGrowStep = 65536;

  // Without a buffer until Open(); with `buffer`, that many valid bytes,
  // not owned (it is copied, never reallocated, when it must grow).
  CxMemFile() = default;
  CxMemFile(std::uint8_t* buffer, std::int32_t size);
  ~CxMemFile() override;

  // Starts the encoder's way: an owned 1-byte buffer, size, position and
  // capacity 0. False when the byte cannot be allocated.
  bool Open();
  // The buffer; with detach, it is no longer owned (the caller frees it).
  std::uint8_t* GetBuffer(bool detach);
  std::int32_t Capacity() const { return capacity_; }

  bool Close() override;
  std::size_t Read(void* dst, std::size_t itemSize, std::size_t count) override;
  std::size_t Write(const void* src, std::size_t itemSize, std::size_t count) override;
  bool Seek(std::int32_t offset, int origin) override;
  std::int32_t Tell() override;
  std::int32_t Size() override;
  bool Flush() override;
  bool Eof() override;
  std::int32_t Error() override;
  bool PutByte(std::uint8_t byte) override;
  std::int32_t GetByte() override;
  char* GetLine(char* buffer, std::int32_t n) override;
  std::int32_t Scan(const char* format, void* out) override;

 private:
  // Makes room for the bytes up to `end` (exclusive); false when it cannot.
  bool Reserve(std::int64_t end);
  // Zeroes a gap left by a seek past the size before it is written behind.
  void FillGap();

  std::uint8_t* buffer_ = nullptr;
  std::int32_t size_ = 0;  // the highest position ever written
  bool ownsBuffer_ = false;
  std::int32_t position_ = 0;
  std::int32_t capacity_ = 0;
};

}  // namespace talvex
