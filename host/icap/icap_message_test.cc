// The ICAP parser on RFC 3507's own example exchanges and on broken ones:
// every message is parsed whole and as every prefix, the chunked bodies fed
// split at every byte.
#include "icap/icap_message.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "proxy/http_text.h"

namespace velquor::host {
namespace {

// The RFC's request examples, with CRLF line ends.
std::string Crlf(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '\n') out += '\r';
    out += c;
  }
  return out;
}

const std::string kReqmodGet = Crlf(
    "REQMOD icap://icap-server.net/server?arg=87 ICAP/1.0\n"
    "Host: icap-server.net\n"
    "Encapsulated: req-hdr=0, null-body=170\n"
    "\n"
    "GET / HTTP/1.1\n"
    "Host: www.origin-server.com\n"
    "Accept: text/html, text/plain\n"
    "Accept-Encoding: compress\n"
    "Cookie: ff39fk3jur@4ii0e02i\n"
    "If-None-Match: \"xyzzy\", \"r2d2xxxx\"\n"
    "\n");

const std::string kReqmodPost = Crlf(
    "REQMOD icap://icap-server.net/server?arg=87 ICAP/1.0\n"
    "Host: icap-server.net\n"
    "Encapsulated: req-hdr=0, req-body=147\n"
    "\n"
    "POST /origin-resource/form.pl HTTP/1.1\n"
    "Host: www.origin-server.com\n"
    "Accept: text/html, text/plain\n"
    "Accept-Encoding: compress\n"
    "Pragma: no-cache\n"
    "\n"
    "1e\n"
    "I am posting this information.\n"
    "0\n"
    "\n");

const std::string kRespmod = Crlf(
    "RESPMOD icap://icap.example.org/satisf ICAP/1.0\n"
    "Host: icap.example.org\n"
    "Encapsulated: req-hdr=0, res-hdr=137, res-body=296\n"
    "\n"
    "GET /origin-resource HTTP/1.1\n"
    "Host: www.origin-server.com\n"
    "Accept: text/html, text/plain, image/gif\n"
    "Accept-Encoding: gzip, compress\n"
    "\n"
    "HTTP/1.1 200 OK\n"
    "Date: Mon, 10 Jan 2000 09:52:22 GMT\n"
    "Server: Apache/1.3.6 (Unix)\n"
    "ETag: \"63840-1ab7-378d415b\"\n"
    "Content-Type: text/html\n"
    "Content-Length: 51\n"
    "\n"
    "33\n"
    "This is data that was returned by an origin server.\n"
    "0\n"
    "\n");

const std::string kOptions = Crlf(
    "OPTIONS icap://icap.server.net/sample-service ICAP/1.0\n"
    "Host: icap.server.net\n"
    "User-Agent: BazookaDotCom-ICAP-Client-Library/2.3\n"
    "\n");

struct Parsed {
  IcapRequest request;
  std::size_t head_size = 0;
  std::string sections;  // the encapsulated header sections
  std::string body;      // decoded
  bool ieof = false;
};

// Parses head, sections and body; every shorter prefix must be incomplete.
Parsed ParseAll(const std::string& message) {
  Parsed p;
  std::string why;
  std::size_t size = 0;
  for (std::size_t n = 0; n < message.size(); ++n) {
    IcapRequest r;
    const ParseResult result = ParseIcapHead(message.substr(0, n), 65536, &r, &size, &why);
    if (result == ParseResult::kDone) break;
    EXPECT_EQ(result, ParseResult::kIncomplete) << "prefix " << n << ": " << why;
  }
  EXPECT_EQ(ParseIcapHead(message, 65536, &p.request, &p.head_size, &why), ParseResult::kDone)
      << why;
  p.sections = message.substr(p.head_size, p.request.header_bytes());
  if (!p.request.has_body()) return p;
  const std::string body = message.substr(p.head_size + p.request.header_bytes());
  // The body fed in two pieces split at every byte.
  for (std::size_t split = 0; split <= body.size(); ++split) {
    ChunkDecoder d;
    std::string out;
    std::size_t used = 0;
    const ParseResult first = d.Feed(body.substr(0, split), &used, &out, &why);
    EXPECT_EQ(used, split);
    std::size_t used2 = 0;
    const ParseResult second = d.Feed(body.substr(split), &used2, &out, &why);
    EXPECT_EQ(split == body.size() ? first : second, ParseResult::kDone) << split << ": " << why;
    p.body = out;
    p.ieof = d.ieof();
  }
  return p;
}

TEST(IcapMessage, RfcReqmodWithoutBody) {
  const Parsed p = ParseAll(kReqmodGet);
  EXPECT_EQ(p.request.method, "REQMOD");
  EXPECT_EQ(p.request.service, "/server");
  ASSERT_EQ(p.request.encapsulated.size(), 2u);
  EXPECT_FALSE(p.request.has_body());
  EXPECT_EQ(p.sections.size(), 170u);
  HttpHead head;
  std::string why;
  ASSERT_TRUE(ParseHttpHead(p.sections, false, &head, &why)) << why;
  EXPECT_EQ(head.first + " " + head.second, "GET /");
  EXPECT_EQ(RequestHost(head), "www.origin-server.com");
  EXPECT_EQ(*FindField(head.fields, "if-none-match"), "\"xyzzy\", \"r2d2xxxx\"");
}

TEST(IcapMessage, RfcRespmodAndItsSections) {
  const Parsed p = ParseAll(kRespmod);
  std::size_t at = 0, size = 0;
  ASSERT_TRUE(p.request.Section("res-hdr", &at, &size));
  EXPECT_EQ(at, 137u);
  EXPECT_EQ(size, 159u);
  HttpHead res;
  std::string why;
  ASSERT_TRUE(ParseHttpHead(p.sections.substr(at, size), true, &res, &why)) << why;
  EXPECT_EQ(res.status, 200);
  EXPECT_TRUE(proxy::IsHtml(*FindField(res.fields, "content-type")));
  EXPECT_EQ(p.body, "This is data that was returned by an origin server.");
  EXPECT_EQ(FormatHttpHead(res, {"content-length", "etag", "date", "server"}),
            "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\n\r\n");
}

TEST(IcapMessage, RfcReqmodWithBodyAndOptionsWithoutEncapsulated) {
  const Parsed post = ParseAll(kReqmodPost);
  EXPECT_EQ(post.request.header_bytes(), 147u);
  EXPECT_EQ(post.body, "I am posting this information.");
  const Parsed options = ParseAll(kOptions);
  EXPECT_EQ(options.request.service, "/sample-service");
  EXPECT_FALSE(options.request.has_body());
  // What Squid sends after the OPTIONS: a preview holding the whole body.
  const Parsed p = ParseAll(
      Crlf("RESPMOD icap://127.0.0.1:1344/respmod ICAP/1.0\nHost: x\nAllow: 204, trailers\n"
           "Preview: 0\nConnection: close\nEncapsulated: res-hdr=0, res-body=19\n\n"
           "HTTP/1.1 200 OK\n\n0; ieof\n\n"));
  EXPECT_TRUE(p.request.has_preview && p.request.allow_204 && p.ieof);
  EXPECT_FALSE(p.request.keep_alive);
}

TEST(IcapMessage, MalformedHeadsAreRefused) {
  const struct {
    const char* head;
    const char* why;
  } kCases[] = {
      {"RESPMOD icap://h/respmod ICAP/1.1\r\nEncapsulated: null-body=0\r\n\r\n", "request line"},
      {"RESPMOD  icap://h/respmod ICAP/1.0\r\n\r\n", "request line"},
      {"RESPMOD http://h/respmod ICAP/1.0\r\nEncapsulated: null-body=0\r\n\r\n", "icap://"},
      {"RESPMOD icap://h/respmod ICAP/1.0\r\n\r\n", "without an Encapsulated"},
      {"RESPMOD icap://h/r ICAP/1.0\nEncapsulated: null-body=0\r\n\r\n", "CR or LF"},
      {"RESPMOD icap://h/r ICAP/1.0\r\n folded\r\n\r\n", "malformed header field"},
      {"RESPMOD icap://h/r ICAP/1.0\r\nX: a\x01\r\n\r\n", "control characters"},
      {"RESPMOD icap://h/r ICAP/1.0\r\nEncapsulated: res-hdr=5, res-body=9\r\n\r\n", "offset 0"},
      {"RESPMOD icap://h/r ICAP/1.0\r\nEncapsulated: res-hdr=0, res-body=0\r\n\r\n", "ascend"},
      {"RESPMOD icap://h/r ICAP/1.0\r\nEncapsulated: res-hdr=0\r\n\r\n", "end with a body"},
      {"RESPMOD icap://h/r ICAP/1.0\r\nEncapsulated: res-hdr=0, req-hdr=9, res-body=20\r\n\r\n",
       "not a form"},
      {"REQMOD icap://h/r ICAP/1.0\r\nEncapsulated: req-hdr=0, res-body=9\r\n\r\n", "not a form"},
      {"RESPMOD icap://h/r ICAP/1.0\r\nEncapsulated: res-hdr=0, res-body=-1\r\n\r\n",
       "name=offset"},
      {"RESPMOD icap://h/r ICAP/1.0\r\nEncapsulated: res-hdr=0, res-body=9999999999\r\n\r\n",
       "name=offset"},
      {"RESPMOD icap://h/r ICAP/1.0\r\nEncapsulated: null-body=0\r\nEncapsulated: null-body=0\r\n"
       "\r\n",
       "more than one"},
      {"RESPMOD icap://h/r ICAP/1.0\r\nEncapsulated: null-body=0\r\nPreview: 1k\r\n\r\n",
       "Preview"},
  };
  for (const auto& c : kCases) {
    IcapRequest r;
    std::size_t size = 0;
    std::string why;
    EXPECT_EQ(ParseIcapHead(c.head, 65536, &r, &size, &why), ParseResult::kBad) << c.head;
    EXPECT_NE(why.find(c.why), std::string::npos) << c.head << " -> " << why;
  }
  // A head without an end is refused once it reaches the limit.
  IcapRequest r;
  std::size_t size = 0;
  std::string why;
  const std::string endless = "OPTIONS icap://h/respmod ICAP/1.0\r\nX: " + std::string(100, 'a');
  EXPECT_EQ(ParseIcapHead(endless, 64, &r, &size, &why), ParseResult::kBad);
  EXPECT_EQ(ParseIcapHead(endless, 4096, &r, &size, &why), ParseResult::kIncomplete);
}

TEST(IcapMessage, BrokenChunksAreRefused) {
  const char* const kCases[] = {
      "x\r\n",                 // no size
      "5\r\nabcdeX\r\n",       // no CRLF after data
      "5 junk\r\nabcde\r\n",   // no ';' before an extension
      "fffffffffff\r\n",       // 2^44 bytes
      "3\nabc\r\n",            // bare LF
      "0\r\nTrailer: x\r\rn",  // bare CR in a trailer
  };
  for (const char* c : kCases) {
    ChunkDecoder d;
    std::string out, why;
    std::size_t used = 0;
    EXPECT_EQ(d.Feed(c, &used, &out, &why), ParseResult::kBad) << c;
  }
  ChunkDecoder d;
  std::string out, why;
  std::size_t used = 0;
  const std::string line(ChunkDecoder::kLineLimit + 1, '1');
  EXPECT_EQ(d.Feed(line, &used, &out, &why), ParseResult::kBad);
  // A trailer is read and dropped; what follows the body stays unread.
  ChunkDecoder t;
  const std::string body = "2;x=y\r\nab\r\n0;ieof\r\nT: v\r\n\r\nNEXT";
  EXPECT_EQ(t.Feed(body, &used, &out, &why), ParseResult::kDone) << why;
  EXPECT_EQ(out, "ab");
  EXPECT_EQ(body.substr(used), "NEXT");
  EXPECT_TRUE(t.ieof());
}

TEST(IcapMessage, HttpHeadsAndHosts) {
  HttpHead h;
  std::string why;
  EXPECT_FALSE(ParseHttpHead("HTTP/1.1 200 OK\r\n\r\nextra", true, &h, &why));
  EXPECT_FALSE(ParseHttpHead("HTTP/1.1 20 OK\r\n\r\n", true, &h, &why));
  EXPECT_FALSE(ParseHttpHead("GET /\r\n\r\n", false, &h, &why));
  ASSERT_TRUE(ParseHttpHead("HTTP/1.0 404\r\n\r\n", true, &h, &why)) << why;
  EXPECT_EQ(h.status, 404);
  const struct {
    const char* head;
    const char* host;
  } kHosts[] = {
      {"GET http://user@Example.org:8080/x HTTP/1.1\r\nHost: other\r\n\r\n", "Example.org"},
      {"GET / HTTP/1.1\r\nHost: www.example.com:81\r\n\r\n", "www.example.com"},
      {"GET / HTTP/1.1\r\nHost: [::1]:81\r\n\r\n", "[::1]"},
      {"GET /a?u=http://b/ HTTP/1.1\r\n\r\n", ""},
  };
  for (const auto& c : kHosts) {
    ASSERT_TRUE(ParseHttpHead(c.head, false, &h, &why)) << c.head << why;
    EXPECT_EQ(RequestHost(h), c.host) << c.head;
  }
}

}  // namespace
}  // namespace velquor::host
