#include "card/result_message.h"

#include <array>
#include <cstdio>
#include <string>

#include "platform/utf.h"

namespace talvex {
namespace {

struct MessageRow {
  std::int32_t code;
  const char16_t* text;
};

// Sorted by code; looked up by binary search.
constexpr MessageRow kMessages[] = {
    {0, u"操作成功"},
    {1, u"打开端口失败"},
    {2, u"PC接收数据超时"},
    {3, u"PC判断校验和错"},
    {5, u"SAM串口不可用"},
    {16, u"SAM判断校验和错"},
    {17, u"SAM接收数据超时"},
    {33, u"接收业务终端的命令错误"},
    {35, u"越权操作"},
    {36, u"无法识别的错误"},
    {49, u"卡认证机具失败"},
    {50, u"机具认证卡失败"},
    {51, u"信息验证错误"},
    {52, u"尚未找卡，不能进行对卡的操作"},
    {55, u"指纹信息验证错误"},
    {63, u"信息长度错误"},
    {64, u"无法识别的卡类型"},
    {65, u"读卡操作失败"},
    {71, u"取随机数失败"},
    {96, u"自检失败，不能接收命令"},
    {102, u"SAM没经过授权,无法使用"},
    {128, u"寻卡失败"},
    {129, u"选卡失败"},
    {144, u"操作成功"},
    {145, u"卡中无此项内容"},
    {159, u"寻卡成功"},
    {256, u"调用sdtapi.dll错误"},
    {257, u"相片解码错误"},
    {258, u"wlt文件后缀错误"},
    {259, u"wlt文件打开错误"},
    {260, u"wlt文件格式错误"},
    {262, u"设备连接错误"},
    {263, u"相片解码其它错误"},
    {277, u"分配内存失败"},
    {278, u"读写文件失败"},
    {281, u"应答头错误"},
    {282, u"应答长度错误"},
    {283, u"寻卡应答错误"},
    {284, u"信息长度错误"},
    {285, u"加载图片失败"},
    {287, u"编码JPG失败"},
    {290, u"请求来源不被允许"},
    {291, u"请求主机不被允许"},
};

constexpr bool SortedByCode() {
  for (std::size_t i = 1; i < std::size(kMessages); ++i) {
    if (kMessages[i - 1].code >= kMessages[i].code) return false;
  }
  return true;
}
static_assert(SortedByCode(), "message table must be sorted by code, without repeats");

constexpr const char16_t* kUnknownError = u"未知错误";

}  // namespace

const char16_t* ResultMessage(ResultCode code) {
  const std::int32_t number = ToNumber(code);
  std::size_t lo = 0;
  std::size_t hi = std::size(kMessages);
  while (lo < hi) {
    std::size_t mid = lo + (hi - lo) / 2;
    if (kMessages[mid].code < number) {
      lo = mid + 1;
    } else if (kMessages[mid].code > number) {
      hi = mid;
    } else {
      return kMessages[mid].text;
    }
  }
  return kUnknownError;
}

std::int32_t FormatResultMessage(ResultCode code, char (&out)[64]) {
  // "%d|%s" into 32 UTF-16 units, then UTF-8 into the 64-byte buffer.
  char digits[16];
  int n = std::snprintf(digits, sizeof digits, "%d", static_cast<int>(ToNumber(code)));
  char16_t text[32];
  std::size_t len = 0;
  for (int i = 0; i < n; ++i) text[len++] = static_cast<char16_t>(digits[i]);
  text[len++] = u'|';
  for (const char16_t* m = ResultMessage(code); *m != 0 && len < std::size(text) - 1; ++m) {
    text[len++] = *m;
  }
  text[len] = 0;
  std::size_t bytes = Utf16zToUtf8(text, out, sizeof out);
  return bytes > 0 ? static_cast<std::int32_t>(bytes - 1) : 0;
}

}  // namespace talvex
