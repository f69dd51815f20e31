#include "platform/url.h"

#include <string>

#include <gtest/gtest.h>

namespace {

std::string Canonical(const std::string& url, DWORD flags) {
  char buffer[256];
  DWORD length = sizeof(buffer);
  if (!InternetCanonicalizeUrlA(url.c_str(), buffer, &length, flags)) {
    return "<failed>";
  }
  return std::string(buffer, length);
}

TEST(InternetCanonicalizeUrlATest, BrowserModeEncodesOnlyBeforeQuery) {
  const std::pair<std::string, std::string> cases[] = {
      {"  http://h/a b?c d#e f  ", "http://h/a%20b?c d#e f"},
      {"\x01http://h/x\x01", "http://h/x"},
      {"http://h/\t\r\nx", "http://h/x"},
      {"http://h/\"<>\\^`{|}", "http://h/%22%3C%3E%5C%5E%60%7B%7C%7D"},
      {"http://h/\x7f\x80\xff\x1f"
       "x",
       "http://h/%7F%80%FF%1Fx"},
      {"http://h/a#<b>?c", "http://h/a#<b>?c"},
      {"http://h/%41~!$&'()*+,;=:@[]", "http://h/%41~!$&'()*+,;=:@[]"},
      {"   ", ""},
  };
  for (const auto& [url, expected] : cases) {
    EXPECT_EQ(Canonical(url, ICU_BROWSER_MODE), expected) << "url: " << url;
  }
  EXPECT_EQ(Canonical("http://h/a b?c d", 0), "http://h/a%20b?c%20d");
  EXPECT_EQ(Canonical(" http://h/a b?c d ", ICU_NO_ENCODE), "http://h/a b?c d");
}

TEST(InternetCanonicalizeUrlATest, SmallBufferReportsSizeNeeded) {
  char buffer[8];
  DWORD length = sizeof(buffer);
  EXPECT_FALSE(InternetCanonicalizeUrlA("http://host/", buffer, &length, ICU_BROWSER_MODE));
  EXPECT_EQ(length, 13u);
  length = 12;  // room for the text but not its terminating zero
  char exact[13];
  EXPECT_FALSE(InternetCanonicalizeUrlA("http://host/", exact, &length, ICU_BROWSER_MODE));
  length = 13;
  EXPECT_TRUE(InternetCanonicalizeUrlA("http://host/", exact, &length, ICU_BROWSER_MODE));
  EXPECT_EQ(length, 12u);
  EXPECT_STREQ(exact, "http://host/");
  EXPECT_FALSE(InternetCanonicalizeUrlA(nullptr, exact, &length, 0));
  EXPECT_FALSE(InternetCanonicalizeUrlA("x", exact, nullptr, 0));
}

// Every component as a pointer into the URL.
struct Cracked {
  bool ok;
  std::string scheme, host, user, password, path, extra;
  INTERNET_SCHEME number;
  INTERNET_PORT port;
};

Cracked Crack(const std::string& url) {
  URL_COMPONENTSA c{};
  c.dwStructSize = sizeof(c);
  c.dwSchemeLength = c.dwHostNameLength = c.dwUserNameLength = 1;
  c.dwPasswordLength = c.dwUrlPathLength = c.dwExtraInfoLength = 1;
  Cracked r{};
  r.ok = InternetCrackUrlA(url.c_str(), 0, 0, &c) != FALSE;
  if (!r.ok) return r;
  const auto take = [](LPSTR p, DWORD n) { return p ? std::string(p, n) : std::string("<null>"); };
  r.scheme = take(c.lpszScheme, c.dwSchemeLength);
  r.host = take(c.lpszHostName, c.dwHostNameLength);
  r.user = take(c.lpszUserName, c.dwUserNameLength);
  r.password = take(c.lpszPassword, c.dwPasswordLength);
  r.path = take(c.lpszUrlPath, c.dwUrlPathLength);
  r.extra = take(c.lpszExtraInfo, c.dwExtraInfoLength);
  r.number = c.nScheme;
  r.port = c.nPort;
  return r;
}

TEST(InternetCrackUrlATest, SplitsIntoComponents) {
  Cracked r = Crack("HTTP://us:er:pw@Host.Example:81/p/x.html?q=1#f");
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.scheme, "HTTP");
  EXPECT_EQ(r.number, INTERNET_SCHEME_HTTP);
  EXPECT_EQ(r.user, "us");
  EXPECT_EQ(r.password, "er:pw");
  EXPECT_EQ(r.host, "Host.Example");
  EXPECT_EQ(r.port, 81);
  EXPECT_EQ(r.path, "/p/x.html");
  EXPECT_EQ(r.extra, "?q=1#f");

  r = Crack("ftp://a@b@files:/pub");
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.number, INTERNET_SCHEME_FTP);
  EXPECT_EQ(r.user, "a@b");
  EXPECT_EQ(r.host, "files");
  EXPECT_EQ(r.port, INTERNET_DEFAULT_FTP_PORT);
  EXPECT_EQ(r.path, "/pub");

  r = Crack("mailto:someone@example.com");
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.number, INTERNET_SCHEME_MAILTO);
  EXPECT_EQ(r.host, "");
  EXPECT_EQ(r.path, "someone@example.com");

  r = Crack("http://h#frag?x");
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.host, "h");
  EXPECT_EQ(r.port, INTERNET_DEFAULT_HTTP_PORT);
  EXPECT_EQ(r.path, "");
  EXPECT_EQ(r.extra, "#frag?x");

  r = Crack("x-custom://h/");
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.number, INTERNET_SCHEME_UNKNOWN);
  EXPECT_EQ(r.host, "h");

  EXPECT_FALSE(Crack("no scheme here").ok);
  EXPECT_FALSE(Crack(":empty").ok);
  EXPECT_FALSE(Crack("http://h:8x/").ok);
  EXPECT_FALSE(Crack("http://h:65536/").ok);
  EXPECT_TRUE(Crack("http://h:65535/").ok);
}

TEST(InternetCrackUrlATest, CopiesIntoCallerBuffers) {
  char host[5];
  URL_COMPONENTSA c{};
  c.dwStructSize = sizeof(c);
  c.lpszHostName = host;
  c.dwHostNameLength = sizeof(host);
  ASSERT_TRUE(InternetCrackUrlA("http://abcd/x", 0, 0, &c));
  EXPECT_STREQ(host, "abcd");
  EXPECT_EQ(c.dwHostNameLength, 4u);
  EXPECT_EQ(c.lpszScheme, nullptr);  // not asked for

  c.dwHostNameLength = sizeof(host);
  EXPECT_FALSE(InternetCrackUrlA("http://abcde/x", 0, 0, &c));

  // An explicit length cuts the URL.
  URL_COMPONENTSA d{};
  d.dwHostNameLength = 1;
  ASSERT_TRUE(InternetCrackUrlA("http://abcdef", 9, 0, &d));
  EXPECT_EQ(std::string(d.lpszHostName, d.dwHostNameLength), "ab");
  EXPECT_FALSE(InternetCrackUrlA(nullptr, 0, 0, &d));
  EXPECT_FALSE(InternetCrackUrlA("http://h/", 0, 0, nullptr));
}

}  // namespace
