#include "text/text_helpers.h"

#include <cstddef>
#include <cstdint>
#include <string>

#include <gtest/gtest.h>

#include "platform/ascii.h"

namespace velquor {
namespace {

using std::string_literals::operator""s;

struct NumberCase {
  std::string text;
  std::string name;
  int32_t expected;
};

TEST(ReadNumberAttributeTest, ReadsValuesAsTheHeuristicsSeeThem) {
  const NumberCase cases[] = {
      // Blanks around "=", quoted value; unquoted value ends at ">".
      {"<IMG SRC=X.GIF HEIGHT = '60' WIDTH=468>", "HEIGHT", 60},
      {"<IMG SRC=X.GIF HEIGHT = '60' WIDTH=468>", "WIDTH", 468},
      {"<IMG WIDTH=60%>", "WIDTH", 60},
      {"<IMG WIDTH=#1E0>", "WIDTH", 480},
      {"<IMG WIDTH=#1e0>", "WIDTH", 480},
      {"<IMG WIDTH=#>", "WIDTH", 0},
      {"<IMG WIDTH=AUTO>", "WIDTH", 0},
      {"<IMG WIDTH=>", "WIDTH", 0},
      {"<IMG WIDTH=''>", "WIDTH", 0},
      {"<IMG WIDTH=\"\">", "WIDTH", 0},
      {"<IMG WIDTH=-5>", "WIDTH", -5},
      {"<IMG WIDTH=+7>", "WIDTH", 7},
      {"<IMG WIDTH=\" 88 \">", "WIDTH", 88},
      {"<IMG WIDTH=88", "WIDTH", 88},
      {"<IMG WIDTH", "WIDTH", 0},
      {"<IMG>", "WIDTH", 0},
      // Only the first occurrence counts, even with a real attribute later.
      {"<IMG SRC=\"HEIGHT.GIF\" HEIGHT=60>", "HEIGHT", 0},
      // The name is searched case-sensitively.
      {"<img width=468>", "WIDTH", 0},
      // A tab does not end an unquoted value: it reads "468\tHEIGHT=60".
      {"<IMG WIDTH=468\tHEIGHT=60>", "WIDTH", 468},
      // Beyond the signed 32-bit range the value saturates.
      {"<IMG WIDTH=2147483647>", "WIDTH", INT32_MAX},
      {"<IMG WIDTH=2147483648>", "WIDTH", INT32_MAX},
      {"<IMG WIDTH=99999999999999999999>", "WIDTH", INT32_MAX},
      {"<IMG WIDTH=-2147483648>", "WIDTH", INT32_MIN},
      {"<IMG WIDTH=-99999999999999999999>", "WIDTH", INT32_MIN},
      {"<IMG WIDTH=#7FFFFFFF>", "WIDTH", INT32_MAX},
      {"<IMG WIDTH=#80000000>", "WIDTH", INT32_MAX},
      {"<IMG WIDTH=#FFFFFFFFFFFF>", "WIDTH", INT32_MAX},
      // A zero byte ends the digits like any other non-digit.
      {"<IMG WIDTH=46\0"
       "8>"s,
       "WIDTH", 46},
  };
  for (const NumberCase& c : cases) {
    EXPECT_EQ(ReadNumberAttribute(c.text, c.name), c.expected)
        << "text: " << c.text << " name: " << c.name;
  }
}

struct TextCase {
  std::string text;
  std::string name;
  std::string expected;
};

TEST(ReadTextAttributeTest, QuotingTrimmingCaseAndFirstOccurrence) {
  const TextCase cases[] = {
      {"<a href=\"/Img/Banner.GIF\">", "HREF", "/Img/Banner.GIF"},
      {"<A HREF=/Offer/7>", "href", "/Offer/7"},
      // Missing closing quote: the trimmed rest of the text.
      {"<a href=\"Foo.HTML  \r\n", "HREF", "Foo.HTML"},
      {"<IMG VALIGN=TOP ALIGN=LEFT>", "ALIGN", "TOP"},
      {"<IMG WIDTH=468 ID=x>", "ID", ""},
      {"<IMG ALT=\"it's > here\">", "ALT", "it's > here"},
      {"<IMG ALT='say \"hi\"'>", "ALT", "say \"hi\""},
      {"<IMG ALT=\"  spaced out  \">", "ALT", "spaced out"},
      {"<IMG ALT = \t Left>", "ALT", "Left"},
      {"<IMG ALT=>", "ALT", ""},
      {"<IMG ALT>", "ALT", ""},
      {"<IMG SRC=x.gif>", "ALT", ""},
      // An unquoted value takes in a line break and the next attribute.
      {"<IMG ALT=one\nCLASS=two three>", "ALT", "one\nCLASS=two"},
      {"<A HREF=/path/salt.html><IMG ALT=\"Sale\">", "ALT", ""},
      {"<IMG ALT=a\0b c>"s, "ALT", "a\0b"s},
  };
  for (const TextCase& c : cases) {
    EXPECT_EQ(ReadTextAttribute(c.text, c.name), c.expected)
        << "text: " << c.text << " name: " << c.name;
  }
}

TEST(VisibleLinkTextTest, KeepsTextOutsideTags) {
  const std::pair<std::string, std::string> cases[] = {
      {"<A HREF=\"x\">Click <B>here</B></A>", "Click here"},
      {"<A HREF=\"a>b\">Go</A>", "Go"},
      // The apostrophe closes the double-quoted title; the next double quote
      // opens a quote that lasts to the end.
      {"<A TITLE=\"Bob's page\" HREF=x>Go</A>", ""},
      {"<A HREF=x>Writers corner</A>", ""},
      {"<A HREF=x>  say \"hi\" &amp; go \n</A>", "say \"hi\" &amp; go"},
      {"<A HREF=x>two  spaces</A>", "two  spaces"},
      {"<APPLET CODE=x.class></APPLET>", ""},
      {"plain", "plain"},
      {"<A>a\0b</A>"s, "a\0b"s},
  };
  for (const auto& [text, expected] : cases) {
    EXPECT_EQ(VisibleLinkText(text), expected) << "text: " << text;
  }
}

TEST(UrlServerTest, HostOfHttpAndFtpTargetsOnly) {
  const std::pair<std::string, std::string> cases[] = {
      {"http://www.example.com/path", "www.example.com"},
      {"HTTP://Www.Example.COM:8080/x", "Www.Example.COM"},
      {"hTTp://host?x=1", "host"},
      {"http://host#top", "host"},
      {"ftp://user:pw@ftp.example.org/pub", "ftp.example.org"},
      {"FTP://files.example.org", "files.example.org"},
      {"http://ho\tst/", "host"},
      {"http://x<y>\"/", "x%3Cy%3E%22"},
      {"http://ho st/", "ho%20st"},
      {"http://host\0evil/"s, "host"},
      {"https://secure.example.com/", ""},
      {"/relative/path", ""},
      {"page.html", ""},
      {"http:relative", ""},
      {"http://", ""},
      {"", ""},
      {std::string(51, ' ') + "http://host/", ""},
  };
  for (const auto& [url, expected] : cases) {
    EXPECT_EQ(UrlServer(url), expected) << "url: " << url;
  }
#if !defined(_WIN32)
  // Where the URL services of Windows installations disagree among
  // themselves, the Linux stand-ins answer as these cases say.
  const std::pair<std::string, std::string> stand_in_cases[] = {
      {"http://a@b@host/", "host"}, {"   http://host/", "host"}, {"http://[::1]:8080/", "[::1]"},
      {"http://host:port/", ""},    {"http://host:99999/", ""},
  };
  for (const auto& [url, expected] : stand_in_cases) {
    EXPECT_EQ(UrlServer(url), expected) << "url: " << url;
  }
#endif
}

TEST(IsEmptyTextTest, EmptyOrLeadingZeroByte) {
  EXPECT_TRUE(IsEmptyText(""));
  EXPECT_TRUE(IsEmptyText("\0abc"s));
  EXPECT_FALSE(IsEmptyText(" "));
  EXPECT_FALSE(IsEmptyText("a\0"s));
}

TEST(StartsWithNoCaseTest, SkipsUpToFiftyWhiteSpaceBytes) {
  struct Case {
    std::string text;
    std::string prefix;
    bool expected;
  };
  const Case cases[] = {
      {std::string(50, ' ') + "http:", "http:", true},
      {std::string(51, ' ') + "http:", "http:", false},
      {std::string(50, '\t') + "HTTP:x", "http:", true},
      {"\r\n\v\fHtTp://", "http:", true},
      {"http", "http:", false},
      {"", "", true},
      {"anything", "", true},
      {"ftp:", "http:", false},
      {"#include", "#INCLUDE", true},
      {"[x", "{x", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(StartsWithNoCase(c.text, c.prefix), c.expected)
        << "text: \"" << c.text << "\" prefix: " << c.prefix;
  }
}

TEST(ContainsNoCaseTest, IgnoresAsciiCaseOnly) {
  EXPECT_TRUE(ContainsNoCase("document.WriTe(x)", "write"));
  EXPECT_TRUE(ContainsNoCase("abc", ""));
  EXPECT_TRUE(ContainsNoCase("", ""));
  EXPECT_FALSE(ContainsNoCase("", "a"));
  EXPECT_FALSE(ContainsNoCase("wri", "write"));
  EXPECT_FALSE(ContainsNoCase("caf\xe9", "CAF\xc9"));
  EXPECT_TRUE(ContainsNoCase("a\0bC"s, "\0Bc"s));
}

TEST(ReplaceAllTest, OnePassLeftToRight) {
  struct Case {
    std::string text, placeholder, replacement, expected;
  };
  const Case cases[] = {
      {"<A%ID%>%ID%", "%ID%", "", "<A>"},
      {"%A%%A%", "%A%", "x", "xx"},
      {"a%TEXT%b", "%TEXT%", "[%TEXT%]", "a%TEXT%b"},
      {"abc", "", "x", "abc"},
      {"no placeholder", "%DIR%", "/opt", "no placeholder"},
      // The join forms "%TEXT%" anew; it is not searched again.
      {"%%TEXT%", "%TEXT%", "TEXT%%TEXT", "%TEXT%%TEXT"},
      {"%DIR%%DIR%", "%DIR%", "%DI", "%DI%DI"},
      {"a\0%X%\0b"s, "%X%", "\0"s, "a\0\0\0b"s},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ReplaceAll(c.text, c.placeholder, c.replacement), c.expected) << "text: " << c.text;
  }
}

TEST(ReplaceAllTest, LargeTextFullOfPlaceholders) {
  std::string text;
  for (int i = 0; i < 100000; ++i) text += "%DIR%";  // 500 KB
  const std::string result = ReplaceAll(text, "%DIR%", "C:\\Velquor");
  ASSERT_EQ(result.size(), 100000u * 10) << "size: " << result.size();
  EXPECT_EQ(result.substr(0, 20), "C:\\VelquorC:\\Velquor");
  EXPECT_EQ(result.find('%'), std::string::npos);
}

TEST(SmallHelpersTest, CaseTrimAndCharacters) {
  EXPECT_EQ(ReplaceChar("a\r\nb\rc", '\r', ' '), "a \nb c");
  EXPECT_EQ(Trim(" \t\n\v\f\rx y\r\n "), "x y");
  EXPECT_EQ(Trim(" \t "), "");
  EXPECT_EQ(UpperCase("az AZ 09 \xe9{}[]\0q"s), "AZ AZ 09 \xe9{}[]\0Q"s);
  std::string text = "mixed Case";
  UpperCaseInPlace(text);
  EXPECT_EQ(text, "MIXED CASE");
  EXPECT_TRUE(EqualsNoCase("Http://", "hTTP://"));
  EXPECT_FALSE(EqualsNoCase("[", "{"));
  EXPECT_FALSE(EqualsNoCase("\xe9", "\xc9"));
  EXPECT_FALSE(EqualsNoCase("ab", "abc"));
  EXPECT_EQ(JudgedCopy("<a\thref=x>\r\nBuy</a>"), "<A HREF=X>  BUY</A>");
  // Every byte value, at every offset of a vector block and in the tail.
  std::string all;
  for (int c = 0; c < 256; ++c) all += static_cast<char>(c);
  for (std::size_t skip = 0; skip < 17; ++skip) {
    const std::string piece = all.substr(skip) + all.substr(0, skip);
    std::string expected = piece;
    for (char& c : expected) {
      c = (c == '\r' || c == '\n' || c == '\t') ? ' ' : AsciiUpper(c);
    }
    EXPECT_EQ(JudgedCopy(piece), expected) << skip;
    EXPECT_EQ(JudgedCopy(piece.substr(0, skip + 3)), expected.substr(0, skip + 3)) << skip;
  }
  for (char c : std::string(" \t\n\v\f\r")) EXPECT_TRUE(IsTrimSpace(c));
  EXPECT_FALSE(IsTrimSpace('\0'));
  EXPECT_FALSE(IsTrimSpace('\xa0'));
}

TEST(ReadNumberTest, DecimalAndHexadecimalSaturate) {
  const std::pair<std::string, int32_t> decimal[] = {
      {"  42x", 42},
      {"-0", 0},
      {"+", 0},
      {"", 0},
      {"- 5", 0},
      {"\n-17", -17},
      {"0000000000000000000042", 42},
      {"2147483647", INT32_MAX},
      {"2147483648", INT32_MAX},
      {"-2147483648", INT32_MIN},
      {"-2147483649", INT32_MIN},
  };
  for (const auto& [text, expected] : decimal) {
    EXPECT_EQ(ReadDecimal(text), expected) << "text: " << text;
  }
  const std::pair<std::string, int32_t> hexadecimal[] = {
      {"1E0", 480},
      {"ff", 255},
      {"G1", 0},
      {"", 0},
      {"7FFFFFFF", INT32_MAX},
      {"100000000", INT32_MAX},
      {"00000000000000000001", 1},
      {" 1", 0},
  };
  for (const auto& [text, expected] : hexadecimal) {
    EXPECT_EQ(ReadHexadecimal(text), expected) << "text: " << text;
  }
}

}  // namespace
}  // namespace velquor
