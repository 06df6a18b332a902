// The /readCard handler: read the card, convert its photo, answer once.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "core/result.h"
#include "flow/read_card.h"
#include "http/response.h"
#include "platform/net.h"

namespace talvex {

// The path buffer of the photo files holds this many UTF-16 units, the
// terminator included.
inline constexpr std::size_t kPhotoPathCapacity = 260;

// What the handler calls to read the card and convert the photo; the service
// uses ReadCard, EncodePhoto and the platform's temporary directory.
struct CardPipeline {
  std::function<ResultCode(std::int32_t& selector, const char16_t* photoPath,
                           std::unique_ptr<char[]>& text, std::int32_t& length,
                           CardReadTrace* trace)>
      readCard;
  std::function<ResultCode(const char16_t* bmpPath, std::string& photoText)> encodePhoto;
  // The user's temporary directory with a trailing separator; false when
  // there is none.
  std::function<bool(std::u16string* directory)> tempDirectory;
};

// What the request log says of one answer.
struct AnswerTrace {
  ResultCode code = kOk;     // the answer's: 0 for a card, else the failure body's code
  CardReadTrace read;        // where the read went; its readerMs is the reader's time
  std::int64_t photoMs = 0;  // the decoder's and the encoder's time
};

// The pipeline of the running system.
const CardPipeline& SystemCardPipeline();

// Serves one card request on `socket`. The result is that of sending the
// response: 0, 304 or 305. When the temporary directory is missing or too
// long for the photo paths, the answer is the failure body of 278.
// trace, when given, is filled with what the answer came to.
ResultCode HandleReadCard(platform::Network& net, platform::Socket socket, std::int32_t& selector,
                          const CardPipeline& pipeline, const ResponseOptions& options = {},
                          AnswerTrace* trace = nullptr);

}  // namespace talvex
