// The whole card read the service answers with: the photo files' paths in
// the temporary directory, the card read, the photo's JPEG in Base64. One
// value comes back: the body of a success, or the code of a failure.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "core/result.h"
#include "flow/read_card.h"
#include "flow/reader_hold.h"

namespace talvex {

// The path buffer of the photo files holds this many UTF-16 units, the
// terminator included.
inline constexpr std::size_t kPhotoPathCapacity = 260;

// What a whole read calls to read the card and convert the photo; the
// service uses ReadCard, EncodePhoto and the platform's temporary directory.
struct CardPipeline {
  std::function<ResultCode(ReaderHold& hold, const char16_t* photoPath,
                           std::unique_ptr<char[]>& text, std::int32_t& length,
                           CardReadTrace* trace)>
      readCard;
  std::function<ResultCode(const char16_t* bmpPath, std::string& photoText)> encodePhoto;
  // The user's temporary directory with a trailing separator; false when
  // there is none.
  std::function<bool(std::u16string* directory)> tempDirectory;
};

// The pipeline of the running system.
const CardPipeline& SystemCardPipeline();

struct CardReadResult {
  ResultCode code = kOk;
  // On 0: the result text followed by the photo text, the body of the answer.
  std::string body;
  std::size_t textLength = 0;  // the result text's part of body
  CardReadTrace trace;         // where the read went and how long it took
};

// One whole read on the service's reader. When the temporary directory is
// missing or too long for the photo paths the code is 278 and the reader is
// not touched.
CardReadResult ReadWholeCard(ReaderHold& hold, const CardPipeline& pipeline);

}  // namespace talvex
