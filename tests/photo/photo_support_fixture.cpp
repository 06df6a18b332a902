#include "photo_support.h"

#include <stdlib.h>

#include <csetjmp>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <stdexcept>

#include <jpeglib.h>

#include "platform/utf.h"

namespace talvex::test {

ScratchDir::ScratchDir() {
  const char* base = getenv("TMPDIR");
  std::string pattern =
      std::string(base != nullptr && base[0] == '/' ? base : "/tmp") + "/talvex-photo-test-XXXXXX";
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  if (mkdtemp(buffer.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = buffer.data();
}

ScratchDir::~ScratchDir() {
  std::error_code ignored;
  // Undo permission changes a test may have left so that everything goes.
  std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                               std::filesystem::perm_options::add, ignored);
  std::filesystem::remove_all(path_, ignored);
}

std::u16string Wide(const std::string& utf8) {
  return Utf8ToUtf16(utf8);
}

void WriteBytes(const std::string& path, const std::vector<std::uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + path);
}

std::vector<std::uint8_t> ReadBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), {});
}

bool Exists(const std::string& path) {
  std::error_code ignored;
  return std::filesystem::exists(std::filesystem::symlink_status(path, ignored));
}

std::uint8_t PatternByte(int x, int row, int channel) {
  return static_cast<std::uint8_t>(17 + 40 * row + 9 * x + 3 * channel);
}

namespace {

void Put(std::vector<std::uint8_t>& out, std::size_t at, std::uint64_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out[at + i] = static_cast<std::uint8_t>(value >> (8 * i));
}

}  // namespace

std::vector<std::uint8_t> MakeBitmap(const BitmapSpec& spec) {
  const std::int64_t stride = (static_cast<std::int64_t>(spec.width) * 3 + 3) & ~std::int64_t{3};
  const std::int64_t image =
      spec.pixelBytes >= 0 ? spec.pixelBytes : stride * static_cast<std::int64_t>(spec.height);
  const std::size_t headerBytes = 14 + spec.headerSize;
  std::vector<std::uint8_t> out(headerBytes + static_cast<std::size_t>(image) + spec.extraTail,
                                0x5A);
  if (out.size() < 54) out.resize(54, 0x5A);
  out[0] = 'B';
  out[1] = 'M';
  Put(out, 2, spec.fileSizeField >= 0 ? static_cast<std::uint64_t>(spec.fileSizeField) : out.size(),
      4);
  Put(out, 6, 0, 4);
  Put(out, 10, spec.pixelOffset >= 0 ? static_cast<std::uint64_t>(spec.pixelOffset) : headerBytes,
      4);
  Put(out, 14, spec.headerSize, 4);
  Put(out, 18, static_cast<std::uint32_t>(spec.width), 4);
  Put(out, 22, static_cast<std::uint32_t>(spec.height), 4);
  Put(out, 26, 1, 2);
  Put(out, 28, spec.bitsPerPixel, 2);
  for (std::size_t i = 30; i < 54 && i < headerBytes; ++i) out[i] = 0;
  // Bytes of a longer header get a recognisable filler of their own.
  for (std::size_t i = 54; i < headerBytes; ++i) out[i] = static_cast<std::uint8_t>(0xA0 + i % 16);
  if (spec.pixelBytes < 0 && spec.width > 0 && spec.width < 4096 && spec.height > 0 &&
      spec.height < 4096) {
    for (int row = 0; row < spec.height; ++row) {
      std::uint8_t* p = out.data() + headerBytes + static_cast<std::size_t>(row * stride);
      for (int x = 0; x < spec.width; ++x)
        for (int c = 0; c < 3; ++c) p[3 * x + c] = PatternByte(x, row, c);
      for (std::int64_t pad = spec.width * 3; pad < stride; ++pad) p[pad] = spec.padByte;
    }
  }
  return out;
}

std::vector<std::uint8_t> BitmapFromRgb(int width, int height,
                                        const std::vector<std::uint8_t>& rgb) {
  BitmapSpec spec;
  spec.width = width;
  spec.height = height;
  std::vector<std::uint8_t> out = MakeBitmap(spec);
  const int stride = (width * 3 + 3) & ~3;
  for (int y = 0; y < height; ++y) {
    std::uint8_t* row = out.data() + 54 + static_cast<std::size_t>(height - 1 - y) * stride;
    for (int x = 0; x < width; ++x) {
      const std::uint8_t* src = rgb.data() + (static_cast<std::size_t>(y) * width + x) * 3;
      row[3 * x] = src[2];
      row[3 * x + 1] = src[1];
      row[3 * x + 2] = src[0];
    }
  }
  return out;
}

namespace {

struct DecodeErrors {
  jpeg_error_mgr manager;
  std::jmp_buf recovery;
};

void DecodeErrorExit(j_common_ptr cinfo) {
  std::longjmp(reinterpret_cast<DecodeErrors*>(cinfo->err)->recovery, 1);
}

struct Decoder {
  jpeg_decompress_struct cinfo;
  DecodeErrors errors;
};

bool DecodeInto(Decoder* d, const std::uint8_t* data, std::size_t size, DecodedJpeg* out) {
  d->cinfo.err = jpeg_std_error(&d->errors.manager);
  d->errors.manager.error_exit = DecodeErrorExit;
  if (setjmp(d->errors.recovery) != 0) {
    jpeg_destroy_decompress(&d->cinfo);
    return false;
  }
  jpeg_create_decompress(&d->cinfo);
  jpeg_mem_src(&d->cinfo, data, static_cast<unsigned long>(size));
  jpeg_read_header(&d->cinfo, TRUE);
  d->cinfo.out_color_space = JCS_RGB;
  jpeg_start_decompress(&d->cinfo);
  out->width = static_cast<int>(d->cinfo.output_width);
  out->height = static_cast<int>(d->cinfo.output_height);
  out->rgb.assign(static_cast<std::size_t>(out->width) * out->height * 3, 0);
  while (d->cinfo.output_scanline < d->cinfo.output_height) {
    JSAMPROW row =
        out->rgb.data() + static_cast<std::size_t>(d->cinfo.output_scanline) * out->width * 3;
    jpeg_read_scanlines(&d->cinfo, &row, 1);
  }
  jpeg_finish_decompress(&d->cinfo);
  jpeg_destroy_decompress(&d->cinfo);
  return true;
}

}  // namespace

bool DecodeJpeg(const std::uint8_t* data, std::size_t size, DecodedJpeg* out) {
  Decoder decoder{};
  return DecodeInto(&decoder, data, size, out);
}

bool DecodeBase64(const std::string& text, std::vector<std::uint8_t>* out) {
  static const std::string alphabet =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  if (text.size() % 4 != 0) return false;
  out->clear();
  for (std::size_t i = 0; i < text.size(); i += 4) {
    std::uint32_t group = 0;
    int pads = 0;
    for (int k = 0; k < 4; ++k) {
      const char c = text[i + k];
      std::uint32_t v = 0;
      if (c == '=') {
        if (i + 4 != text.size() || k < 2) return false;
        ++pads;
      } else {
        if (pads > 0) return false;
        const std::size_t pos = alphabet.find(c);
        if (pos == std::string::npos) return false;
        v = static_cast<std::uint32_t>(pos);
      }
      group = (group << 6) | v;
    }
    out->push_back(static_cast<std::uint8_t>(group >> 16));
    if (pads < 2) out->push_back(static_cast<std::uint8_t>(group >> 8));
    if (pads < 1) out->push_back(static_cast<std::uint8_t>(group));
  }
  return true;
}

}  // namespace talvex::test
