#include "platform/resources.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace velquor {
namespace {

const char kStatsFooter[] =
    "\r\n<HR><CENTER><B><A HREF=\"https://velquor.example/\">Velquor</A> removed "
    "%li ads from this page (removed %li total ads.)</B></CENTER>";
const char kModifyFooter[] =
    "\r\n<HR><CENTER><FONT SIZE=\"-1\">This page was modified by <A "
    "HREF=\"https://velquor.example/\">Velquor</A>.</FONT></CENTER>";
const char kTemplate[] = "{Ad: <A %HREF%>%TEXT%</A>}";

TEST(Resources, StringTableEntriesAreByteExact) {
  EXPECT_EQ(LoadResourceString(101), kStatsFooter);
  EXPECT_EQ(LoadResourceString(102), kModifyFooter);
  EXPECT_EQ(LoadResourceString(109), kTemplate);
  EXPECT_EQ(LoadResourceString(103), "");
  EXPECT_EQ(LoadResourceString(0x10065), "") << "ids beyond 16 bits must not alias 101";
}

TEST(Resources, LoadStringCopiesAtMostSizeLessOneAndAZero) {
  char buffer[64];
  std::memset(buffer, 'x', sizeof buffer);
  EXPECT_EQ(LoadStringA(nullptr, 109, buffer, 64), 26);
  EXPECT_STREQ(buffer, kTemplate);

  std::memset(buffer, 'x', sizeof buffer);
  EXPECT_EQ(LoadStringA(nullptr, 109, buffer, 5), 4);
  EXPECT_EQ(std::string(buffer, 6), std::string("{Ad:\0x", 6));

  std::memset(buffer, 'x', sizeof buffer);
  EXPECT_EQ(LoadStringA(nullptr, 109, buffer, 1), 0);
  EXPECT_EQ(buffer[0], '\0');
  EXPECT_EQ(buffer[1], 'x');

  EXPECT_EQ(LoadStringA(nullptr, 109, buffer, 0), 0);
  EXPECT_EQ(buffer[0], '\0') << "a zero size must leave the buffer alone";
  EXPECT_EQ(LoadStringA(nullptr, 109, nullptr, 10), 0);
  EXPECT_EQ(LoadStringA(nullptr, 999, buffer, 64), 0);
  EXPECT_EQ(buffer[0], '\0');
}

TEST(Resources, FindByNumericTypeNameTextAndHashId) {
  HRSRC by_id = FindResourceA(nullptr, MAKEINTRESOURCEA(102), RT_STRING);
  ASSERT_NE(by_id, nullptr);
  EXPECT_EQ(FindResourceA(nullptr, "#102", "string"), by_id);
  EXPECT_EQ(FindResourceA(nullptr, MAKEINTRESOURCEA(102), "STRING"), by_id);
  EXPECT_EQ(SizeofResource(nullptr, by_id), sizeof kModifyFooter - 1);
  const char* data = static_cast<const char*>(LockResource(LoadResource(nullptr, by_id)));
  ASSERT_NE(data, nullptr);
  EXPECT_EQ(std::string(data, SizeofResource(nullptr, by_id)), kModifyFooter);
  EXPECT_EQ(data[SizeofResource(nullptr, by_id)], '\0');
}

TEST(Resources, AbsentOrMalformedLookupsYieldNull) {
  const struct {
    LPCSTR name;
    LPCSTR type;
  } cases[] = {
      {MAKEINTRESOURCEA(102), MAKEINTRESOURCEA(5)},  // no such numeric type
      {MAKEINTRESOURCEA(104), RT_STRING},
      {"#", RT_STRING},
      {"#10x", RT_STRING},
      {"#99999999999", RT_STRING},
      {"FOOTER", RT_STRING},
      {MAKEINTRESOURCEA(102), "NOSUCHTYPE"},
      {nullptr, RT_STRING},
      {MAKEINTRESOURCEA(102), nullptr},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(FindResourceA(nullptr, c.name, c.type), nullptr)
        << (IS_INTRESOURCE(c.name) ? "(id)" : c.name);
  }
  EXPECT_EQ(LoadResource(nullptr, nullptr), nullptr);
  EXPECT_EQ(LockResource(nullptr), nullptr);
  EXPECT_EQ(SizeofResource(nullptr, nullptr), 0u);
}

}  // namespace
}  // namespace velquor
