#include "flow/whole_read.h"

#include <chrono>
#include <string_view>

#include "photo/photo.h"
#include "platform/fs.h"

namespace talvex {

namespace {

constexpr std::u16string_view kPhotoFile = u"image.wlt";
constexpr std::u16string_view kBitmapFile = u"image.bmp";

std::int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// directory + file, or false when the two and a terminator exceed the path
// buffer. The photo and bitmap names have the same length, so one check
// covers both paths.
bool BuildPath(const std::u16string& directory, std::u16string_view file, std::u16string& path) {
  if (directory.empty() || directory.size() + file.size() + 1 > kPhotoPathCapacity) return false;
  path = directory;
  path += file;
  return true;
}

}  // namespace

const CardPipeline& SystemCardPipeline() {
  static const CardPipeline pipeline{
      [](ReaderHold& hold, const char16_t* photoPath, std::unique_ptr<char[]>& text,
         std::int32_t& length,
         CardReadTrace* trace) { return ReadCard(hold, photoPath, text, length, trace); },
      [](const char16_t* bmpPath, std::string& photoText) {
        return EncodePhoto(bmpPath, photoText);
      },
      [](std::u16string* directory) { return platform::GetTempDirectory(directory); },
  };
  return pipeline;
}

CardReadResult ReadWholeCard(ReaderHold& hold, const CardPipeline& pipeline) {
  CardReadResult result;
  std::u16string directory;
  std::u16string path;
  if (!pipeline.tempDirectory(&directory) || !BuildPath(directory, kPhotoFile, path)) {
    result.code = kFileError;
    return result;
  }

  std::unique_ptr<char[]> text;
  std::int32_t length = 0;
  result.code = pipeline.readCard(hold, path.c_str(), text, length, &result.trace);
  if (result.code != kOk) return result;

  BuildPath(directory, kBitmapFile, path);
  std::string photoText;
  const std::int64_t encodeStarted = NowMs();
  result.code = pipeline.encodePhoto(path.c_str(), photoText);
  result.trace.photoMs += NowMs() - encodeStarted;
  if (result.code != kOk) return result;

  result.textLength = static_cast<std::size_t>(length);
  result.body.reserve(result.textLength + photoText.size());
  result.body.append(text.get(), result.textLength);
  result.body += photoText;
  return result;
}

}  // namespace talvex
