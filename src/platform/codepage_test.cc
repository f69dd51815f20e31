#include "platform/codepage.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/error_info.h"

namespace {

TEST(CodePageTest, EveryByteSurvivesTheRoundTrip) {
  char bytes[256];
  for (int i = 0; i < 256; ++i) bytes[i] = static_cast<char>(i);
  char16_t wide[256];
  ASSERT_EQ(MultiByteToWideChar(CP_ACP, 0, bytes, 256, wide, 256), 256);
  char back[256];
  BOOL used_default = 7;
  ASSERT_EQ(WideCharToMultiByte(CP_ACP, 0, wide, 256, back, 256, nullptr, &used_default), 256);
  EXPECT_EQ(used_default, 0);
  for (int i = 0; i < 256; ++i) {
    EXPECT_EQ(static_cast<unsigned char>(back[i]), i) << "byte " << i;
  }
}

TEST(CodePageTest, HighControlRangeMapsAsTheCodePageDefines) {
  struct Row {
    unsigned char byte;
    char16_t unit;
  };
  const Row rows[] = {{0x80, 0x20AC}, {0x81, 0x0081}, {0x8A, 0x0160}, {0x8D, 0x008D},
                      {0x8F, 0x008F}, {0x90, 0x0090}, {0x92, 0x2019}, {0x99, 0x2122},
                      {0x9D, 0x009D}, {0x9F, 0x0178}, {0xA0, 0x00A0}, {0xE9, 0x00E9},
                      {0x7F, 0x007F}, {0x00, 0x0000}};
  for (const Row& row : rows) {
    const char in = static_cast<char>(row.byte);
    char16_t out = 0xFFFF;
    ASSERT_EQ(MultiByteToWideChar(kCodePage1252, 0, &in, 1, &out, 1), 1);
    EXPECT_EQ(out, row.unit) << "byte 0x" << std::hex << int{row.byte};
    char back = 0;
    ASSERT_EQ(WideCharToMultiByte(kCodePage1252, 0, &row.unit, 1, &back, 1, nullptr, nullptr), 1);
    EXPECT_EQ(static_cast<unsigned char>(back), row.byte) << "unit 0x" << std::hex << int{row.unit};
  }
}

TEST(CodePageTest, SizesTerminatorsAndShortBuffers) {
  // -1 converts the terminating zero too and counts it.
  EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, "abc", -1, nullptr, 0), 4);
  EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, u"abc", -1, nullptr, 0, nullptr, nullptr), 4);
  char16_t wide[8] = {};
  EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, "abc", -1, wide, 8), 4);
  EXPECT_EQ(std::u16string(wide), u"abc");

  SetLastError(0);
  char16_t small[3] = {u'x', u'x', u'x'};
  EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, "abc", -1, small, 3), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  SetLastError(0);
  char narrow[2];
  EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, u"abc", 3, narrow, 2, nullptr, nullptr), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));

  SetLastError(0);
  EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, "abc", 0, wide, 8), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  SetLastError(0);
  EXPECT_EQ(MultiByteToWideChar(65001, 0, "abc", 3, wide, 8), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  SetLastError(0);
  EXPECT_EQ(MultiByteToWideChar(CP_ACP, 1, "abc", 3, wide, 8), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_FLAGS));
}

TEST(CodePageTest, MissingCharactersBecomeTheDefault) {
  const char16_t text[] = {u'a', 0x4E2D, 0xD83D, u'b'};
  char out[4];
  BOOL used_default = 0;
  ASSERT_EQ(WideCharToMultiByte(CP_ACP, 0, text, 4, out, 4, nullptr, &used_default), 4);
  EXPECT_EQ(std::string(out, 4), "a??b");
  EXPECT_EQ(used_default, 1);
  ASSERT_EQ(WideCharToMultiByte(CP_ACP, 0, text, 4, out, 4, "#", nullptr), 4);
  EXPECT_EQ(std::string(out, 4), "a##b");
  EXPECT_EQ(velquor::AnsiFromWide(u"x\u4E2Dy\u20AC"), "x?y\x80");
}

TEST(CodePageTest, Utf8PathBytesSurviveTheWideHelpers) {
  const std::string path = "/home/j\xC3\xBCrgen/lib/libvelquor.so";
  EXPECT_EQ(velquor::AnsiFromWide(velquor::WideFromAnsi(path).c_str()), path);
}

TEST(CodePageTest, CharNextStopsAtTheTerminator) {
  const char* text = "a\x80";
  EXPECT_EQ(CharNextA(text), text + 1);
  EXPECT_EQ(CharNextA(text + 1), text + 2);
  EXPECT_EQ(CharNextA(text + 2), text + 2);
}

}  // namespace
