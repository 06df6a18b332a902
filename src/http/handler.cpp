#include "http/handler.h"

#include "http/response.h"

namespace talvex {

namespace {

constexpr std::u16string_view kPhotoFile = u"image.wlt";
constexpr std::u16string_view kBitmapFile = u"image.bmp";

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

ResultCode HandleReadCard(platform::Network& net, platform::Socket socket, std::int32_t& selector,
                          const CardPipeline& pipeline, const ResponseOptions& options,
                          AnswerTrace* trace) {
  AnswerTrace unused;
  AnswerTrace& answer = trace != nullptr ? *trace : unused;
  answer = AnswerTrace();
  std::string photoText;
  std::u16string directory;
  std::u16string path;
  if (!pipeline.tempDirectory(&directory) || !BuildPath(directory, kPhotoFile, path)) {
    answer.code = kFileError;
    return SendErrorResponse(net, socket, kFileError, options);
  }

  std::unique_ptr<char[]> resultText;
  std::int32_t resultLength = 0;
  ResultCode code =
      pipeline.readCard(selector, path.c_str(), resultText, resultLength, &answer.read);
  answer.photoMs = answer.read.photoMs;
  answer.code = code;
  if (code != kOk) return SendErrorResponse(net, socket, code, options);

  BuildPath(directory, kBitmapFile, path);
  const std::int64_t encodeStarted = net.NowMs();
  code = pipeline.encodePhoto(path.c_str(), photoText);
  answer.photoMs += net.NowMs() - encodeStarted;
  answer.code = code;
  if (code != kOk) return SendErrorResponse(net, socket, code, options);

  return SendCardResponse(net, socket, resultText.get(), resultLength, photoText.data(),
                          photoText.size(), options);
}

}  // namespace talvex
