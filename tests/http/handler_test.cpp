// The whole card read with a scripted card pipeline and the /readCard
// handler that sends it: which body goes out, which paths the pipeline gets.
#include <gtest/gtest.h>

#include <cstring>
#include <regex>
#include <string>

#include "http/handler.h"
#include "http/response.h"
#include "support/fake_network.h"

namespace talvex {
namespace {

using platform::IoStatus;
using testing::FakeNetwork;

struct ScriptedCard {
  std::u16string directory = u"/run/user/1000/talvex/";
  bool haveDirectory = true;
  ResultCode readResult = kOk;
  std::string text =
      "0|1|张三|1|男|01|汉|20000101|某省某市某区某路1号|000000200001010000|某市公安局|20200101|"
      "20400101|";
  ResultCode encodeResult = kOk;
  std::string photo = "/9j/4AAQSkZJRgABAQ==";
  std::u16string photoPath, bmpPath;
  std::int32_t selectorSeen = -1;
  int reads = 0, encodes = 0;

  CardPipeline Pipeline() {
    CardPipeline p;
    p.tempDirectory = [this](std::u16string* out) {
      if (haveDirectory) *out = directory;
      return haveDirectory;
    };
    p.readCard = [this](ReaderHold& hold, const char16_t* path, std::unique_ptr<char[]>& out,
                        std::int32_t& length, CardReadTrace*) {
      ++reads;
      photoPath = path;
      selectorSeen = hold.Selector();
      hold.Selector() = 7;
      out.reset();
      length = 0;
      if (readResult != kOk) return readResult;
      out.reset(new char[1024]);
      std::memcpy(out.get(), text.c_str(), text.size() + 1);
      length = static_cast<std::int32_t>(text.size());
      return kOk;
    };
    p.encodePhoto = [this](const char16_t* path, std::string& photoText) {
      ++encodes;
      bmpPath = path;
      if (encodeResult != kOk) return encodeResult;
      photoText = photo;
      return kOk;
    };
    return p;
  }
};

// Reads with the service's selector and sends what came of it on socket 5.
ResultCode Answer(FakeNetwork& net, ScriptedCard& card, std::int32_t& selector) {
  ReaderHold hold(selector);
  const CardReadResult read = ReadWholeCard(hold, card.Pipeline());
  selector = hold.Selector();
  return HandleReadCard(net, 5, read);
}

std::string BodyOf(const std::string& response) {
  const std::size_t end = response.find("\r\n\r\n");
  return end == std::string::npos ? std::string() : response.substr(end + 4);
}

long ContentLengthOf(const std::string& response) {
  std::smatch m;
  if (!std::regex_search(response, m, std::regex("\r\nContent-Length: (\\d+)\r\n"))) return -1;
  return std::stol(m[1]);
}

TEST(HandleReadCard, SuccessSendsResultTextThenPhoto) {
  FakeNetwork net;
  ScriptedCard card;
  std::int32_t selector = 0;
  EXPECT_EQ(Answer(net, card, selector), kOk);
  EXPECT_EQ(BodyOf(net.sentBytes), card.text + card.photo);
  EXPECT_EQ(ContentLengthOf(net.sentBytes),
            static_cast<long>(card.text.size() + card.photo.size()));
  EXPECT_EQ(card.photoPath, u"/run/user/1000/talvex/image.wlt");
  EXPECT_EQ(card.bmpPath, u"/run/user/1000/talvex/image.bmp");
  EXPECT_EQ(net.sentBytes.rfind("HTTP/1.1 200 OK\r\n", 0), 0u);
}

TEST(HandleReadCard, SelectorIsHandedThroughAndKept) {
  FakeNetwork net;
  ScriptedCard card;
  std::int32_t selector = 2001;
  EXPECT_EQ(Answer(net, card, selector), kOk);
  EXPECT_EQ(card.selectorSeen, 2001);
  EXPECT_EQ(selector, 7);
}

TEST(HandleReadCard, ReadFailureSendsItsCodeAndSkipsThePhoto) {
  FakeNetwork net;
  ScriptedCard card;
  card.readResult = kStatusFindCardFailed;
  std::int32_t selector = 0;
  EXPECT_EQ(Answer(net, card, selector), kOk);
  EXPECT_EQ(BodyOf(net.sentBytes), "128|寻卡失败");
  EXPECT_EQ(ContentLengthOf(net.sentBytes), 16);
  EXPECT_EQ(card.encodes, 0);
}

TEST(HandleReadCard, PhotoFailureSendsItsCodeInsteadOfTheText) {
  FakeNetwork net;
  ScriptedCard card;
  card.encodeResult = kLoadImageFailed;
  std::int32_t selector = 0;
  EXPECT_EQ(Answer(net, card, selector), kOk);
  EXPECT_EQ(BodyOf(net.sentBytes), "285|加载图片失败");
  EXPECT_EQ(ContentLengthOf(net.sentBytes), 22);
}

TEST(HandleReadCard, MissingOrTooLongTemporaryDirectoryAnswers278WithoutReading) {
  {
    FakeNetwork net;
    ScriptedCard card;
    card.haveDirectory = false;
    std::int32_t selector = 0;
    EXPECT_EQ(Answer(net, card, selector), kOk);
    EXPECT_EQ(BodyOf(net.sentBytes), "278|读写文件失败");
    EXPECT_EQ(card.reads, 0);
  }
  {
    // 251 units + "image.wlt" + terminator = 261: one too many.
    FakeNetwork net;
    ScriptedCard card;
    card.directory = std::u16string(250, u'd') + u"/";
    std::int32_t selector = 0;
    EXPECT_EQ(Answer(net, card, selector), kOk);
    EXPECT_EQ(BodyOf(net.sentBytes), "278|读写文件失败");
    EXPECT_EQ(card.reads, 0);
  }
  {
    // 250 units: exactly fills the 260-unit buffer.
    FakeNetwork net;
    ScriptedCard card;
    card.directory = std::u16string(249, u'd') + u"/";
    std::int32_t selector = 0;
    EXPECT_EQ(Answer(net, card, selector), kOk);
    EXPECT_EQ(card.reads, 1);
    EXPECT_EQ(card.photoPath.size(), 259u);
    EXPECT_EQ(BodyOf(net.sentBytes), card.text + card.photo);
  }
}

TEST(HandleReadCard, SendFailureIsTheResult) {
  FakeNetwork net;
  ScriptedCard card;
  net.sendScript = {IoStatus::kDone, IoStatus::kFailed};
  std::int32_t selector = 0;
  EXPECT_EQ(Answer(net, card, selector), kSocketError);
  // Only the header block went out; the cut-off response ends there.
  EXPECT_EQ(BodyOf(net.sentBytes), "");
}

TEST(HandleReadCard, SendTimeoutIsTheResult) {
  FakeNetwork net;
  ScriptedCard card;
  card.readResult = kPortOpenFailed;
  net.sendScript = {IoStatus::kWouldBlock};
  std::int32_t selector = 0;
  EXPECT_EQ(Answer(net, card, selector), kNetTimeout);
}

}  // namespace
}  // namespace talvex
