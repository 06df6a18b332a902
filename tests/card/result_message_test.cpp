#include "card/result_message.h"

#include <gtest/gtest.h>

#include <string>

namespace talvex {
namespace {

std::string Format(std::int32_t code, std::int32_t* length = nullptr) {
  char out[64];
  std::int32_t n = FormatResultMessage(ResultCode{code}, out);
  if (length) *length = n;
  EXPECT_EQ(out[n], '\0');
  return std::string(out, static_cast<std::size_t>(n));
}

TEST(FormatResultMessage, KnownCodesGiveTheirMessageAndExactByteLength) {
  std::int32_t n = 0;
  EXPECT_EQ(Format(0, &n), "0|操作成功");
  EXPECT_EQ(n, 14);
  EXPECT_EQ(Format(144), "144|操作成功");
  EXPECT_EQ(Format(63), "63|信息长度错误");
  EXPECT_EQ(Format(284), "284|信息长度错误");
  EXPECT_EQ(Format(52, &n), "52|尚未找卡，不能进行对卡的操作");
  EXPECT_EQ(n, 45);
  EXPECT_EQ(Format(102), "102|SAM没经过授权,无法使用");
  EXPECT_EQ(Format(128, &n), "128|寻卡失败");
  EXPECT_EQ(n, 16);
  EXPECT_EQ(Format(1, &n), "1|打开端口失败");
  EXPECT_EQ(n, 20);
  EXPECT_EQ(Format(285, &n), "285|加载图片失败");
  EXPECT_EQ(n, 22);
}

TEST(FormatResultMessage, CodesWithoutMessageUseTheDefault) {
  EXPECT_EQ(Format(-1), "-1|未知错误");
  EXPECT_EQ(Format(289), "289|未知错误");
  EXPECT_EQ(Format(304), "304|未知错误");
  EXPECT_EQ(Format(286), "286|未知错误");
  EXPECT_EQ(Format(4), "4|未知错误");
  EXPECT_EQ(Format(-2147483647 - 1), "-2147483648|未知错误");
}

TEST(ResultMessage, EveryTableCodeHasItsOwnText) {
  // One entry per code, checked against the exact texts the clients see.
  // Three entries a line, aligned by hand.
  // clang-format off
  const std::pair<std::int32_t, std::u16string> table[] = {
      {0, u"操作成功"},         {1, u"打开端口失败"},       {2, u"PC接收数据超时"},
      {3, u"PC判断校验和错"},   {5, u"SAM串口不可用"},      {16, u"SAM判断校验和错"},
      {17, u"SAM接收数据超时"}, {33, u"接收业务终端的命令错误"}, {35, u"越权操作"},
      {36, u"无法识别的错误"},  {49, u"卡认证机具失败"},    {50, u"机具认证卡失败"},
      {51, u"信息验证错误"},    {52, u"尚未找卡，不能进行对卡的操作"},
      {55, u"指纹信息验证错误"}, {63, u"信息长度错误"},     {64, u"无法识别的卡类型"},
      {65, u"读卡操作失败"},    {71, u"取随机数失败"},      {96, u"自检失败，不能接收命令"},
      {102, u"SAM没经过授权,无法使用"}, {128, u"寻卡失败"}, {129, u"选卡失败"},
      {144, u"操作成功"},       {145, u"卡中无此项内容"},   {159, u"寻卡成功"},
      {256, u"调用sdtapi.dll错误"}, {257, u"相片解码错误"}, {258, u"wlt文件后缀错误"},
      {259, u"wlt文件打开错误"}, {260, u"wlt文件格式错误"}, {262, u"设备连接错误"},
      {263, u"相片解码其它错误"}, {277, u"分配内存失败"},   {278, u"读写文件失败"},
      {281, u"应答头错误"},     {282, u"应答长度错误"},     {283, u"寻卡应答错误"},
      {284, u"信息长度错误"},   {285, u"加载图片失败"},     {287, u"编码JPG失败"},
  };
  // clang-format on
  for (const auto& [code, text] : table) {
    EXPECT_EQ(std::u16string(ResultMessage(ResultCode{code})), text) << "code " << code;
  }
  for (std::int32_t code : {261, 279, 280, 286, 288, 306, 313, 160, 6}) {
    EXPECT_EQ(std::u16string(ResultMessage(ResultCode{code})), u"未知错误") << "code " << code;
  }
}

TEST(FormatResultMessage, NoTableCodeOverflowsTheBuffers) {
  for (std::int32_t code = -5; code < 400; ++code) {
    std::int32_t n = 0;
    std::string s = Format(code, &n);
    EXPECT_GT(n, 0);
    EXPECT_LT(n, 64);
    EXPECT_EQ(static_cast<std::size_t>(n), s.size());
  }
}

}  // namespace
}  // namespace talvex
