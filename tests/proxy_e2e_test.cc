// `velquor proxy` end to end: the built program between a socket client and
// an origin server started here, both on loopback.
#include <brotli/encode.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "corpus.h"
#include "e2e_util.h"
#include "proxy_util.h"
#include "zlib_coding.h"

extern char** environ;

namespace velquor::test {
namespace {

std::string Brotli(const std::string& in) {
  std::size_t size = BrotliEncoderMaxCompressedSize(in.size());
  std::string out(size, '\0');
  BrotliEncoderCompress(5, 22, BROTLI_MODE_TEXT, in.size(),
                        reinterpret_cast<const uint8_t*>(in.data()), &size,
                        reinterpret_cast<uint8_t*>(out.data()));
  out.resize(size);
  return out;
}

std::string Chunked(const std::string& body, std::size_t piece) {
  std::string out;
  for (std::size_t at = 0; at < body.size(); at += piece) {
    const std::string part = body.substr(at, piece);
    char hex[20];
    std::snprintf(hex, sizeof hex, "%zx\r\n", part.size());
    out += hex + part + "\r\n";
  }
  return out + "0\r\n\r\n";
}

class ProxyTest : public ::testing::Test {
 protected:
  // The page as `velquor filter` gives it read whole, in a fresh profile.
  static std::string Reference(const std::string& page) {
    TempDir fresh;
    WriteFile(fresh.File("page.html"), page);
    return RunVelquor(fresh.path(), {"filter", "--library", VELQUOR_LIB, "--read-size", "16777216",
                                     fresh.File("page.html")})
        .out;
  }
  std::string Stats() { return RunVelquor(home_.path(), {"stats"}).out; }
  // Headless Chromium with a new browser profile, every request (loopback
  // too) through the proxy on `port`.
  void ResetStats() { RunVelquor(home_.path(), {"stats", "--reset"}); }

  TempDir home_;
  const std::string page_ = ReadFile(SourceDir() + "/examples/portal.html");
};

TEST_F(ProxyTest, HtmlInEveryFramingAndCodingIsFilteredAsTheFilterCommandDoes) {
  const std::string page = page_;
  Origin origin([page](OriginConnection& c) {
    std::string head;
    while (c.ReadRequest(&head)) {
      const std::string path = PathOf(head);
      std::string r = "HTTP/1.1 200 OK\r\nContent-Type: Text/HTML; charset=ISO-8859-1\r\n";
      if (path == "/length")
        r += "Content-Length: " + std::to_string(page.size()) + "\r\n\r\n" + page;
      if (path == "/chunked") r += "Transfer-Encoding: chunked\r\n\r\n" + Chunked(page, 700);
      if (path == "/gzip")
        r += "Content-Encoding: gzip\r\nTransfer-Encoding: chunked\r\n\r\n" +
             Chunked(Deflate(page, 31), 100);
      if (path == "/deflate") {
        const std::string body = Deflate(page, 15);
        r += "Content-Encoding: deflate\r\nContent-Length: " + std::to_string(body.size()) +
             "\r\n\r\n" + body;
      }
      if (path == "/br") {
        const std::string body = Brotli(page);
        r += "Content-Encoding: br\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" +
             body;
      }
      if (path == "/close") r += "Connection: close\r\n\r\n" + page;
      if (!c.Send(r) || path == "/close") return;
    }
  });
  ProxyProcess proxy(home_.path());
  const std::string expected = Reference(page_);
  ASSERT_NE(expected, page_);
  for (const char* path : {"/length", "/chunked", "/gzip", "/deflate", "/br", "/close"}) {
    ResetStats();
    const Response r = Get(proxy.port(), origin.Url(path), "Accept-Encoding: gzip, zstd, br\r\n");
    EXPECT_EQ(r.status, 200) << path;
    EXPECT_TRUE(r.complete && r.chunked) << path;
    EXPECT_EQ(r.fields.count("content-length") + r.fields.count("content-encoding"), 0u) << path;
    EXPECT_EQ(r.body, expected) << path;
    EXPECT_EQ(Stats(), "Pages: 1\nKilled: 8\n") << path;
  }
}

// A page sent in small parts with pauses: the first filtered bytes leave the
// proxy before the origin sends the last part, and nearly every ad that the
// whole-page filter removes is still removed.
TEST_F(ProxyTest, SlowPagesStreamAndKeepTheirRemovals) {
  std::mutex mutex;
  std::condition_variable cv;
  bool first_bytes = false;
  std::vector<std::string> pages;
  for (const bench::CorpusPage& p : bench::SmallCorpus(160 * 1024)) {
    if (p.family != bench::PageFamily::kPlain) {
      pages.push_back(bench::MakeCorpusPage(p.family, p.bytes, p.seed));
    }
  }
  Origin origin([&](OriginConnection& c) {
    std::string head;
    if (!c.ReadRequest(&head)) return;
    const std::string& page = pages[std::stoul(PathOf(head).substr(1))];
    c.Send("HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Length: " +
           std::to_string(page.size()) + "\r\n\r\n");
    std::size_t at = 0;
    for (std::size_t part = 3000; at + part < page.size(); at += part) {
      if (!c.Send(page.substr(at, part))) return;
      usleep(1000);
    }
    std::unique_lock<std::mutex> lock(mutex);
    cv.wait_for(lock, std::chrono::seconds(10), [&] { return first_bytes; });
    lock.unlock();
    c.Send(page.substr(at));
  });
  ProxyProcess proxy(home_.path());
  // Removed: the links and applets that the output lacks.
  auto segments = [](const std::string& html) {
    std::size_t n = 0;
    for (std::size_t at = 0; (at = html.find('<', at)) != std::string::npos; ++at) {
      const std::string tag = html.substr(at + 1, 7);
      if (tag.rfind("A ", 0) == 0 || tag.rfind("a ", 0) == 0 || tag == "APPLET " ||
          tag == "applet ")
        ++n;
    }
    return n;
  };
  std::size_t ours = 0;
  std::size_t whole = 0;
  for (std::size_t i = 0; i < pages.size(); ++i) {
    whole += segments(pages[i]) - segments(Reference(pages[i]));
    first_bytes = false;
    const int fd = Dial(proxy.port());
    SendAll(fd, "GET " + origin.Url("/" + std::to_string(i)) + " HTTP/1.1\r\nHost: x\r\n\r\n");
    bool early = false;
    const Response r = ReadResponse(fd, false, [&] {
      std::lock_guard<std::mutex> lock(mutex);
      early = first_bytes = true;
      cv.notify_all();
    });
    close(fd);
    EXPECT_TRUE(r.complete && early) << "page " << i;
    ours += segments(pages[i]) - segments(r.body);
  }
  EXPECT_GT(whole, 100u);
  EXPECT_GE(ours * 1000, whole * 999) << ours << " of " << whole;
}

TEST_F(ProxyTest, HundredMegabytePageStreamsInConstantMemory) {
  constexpr std::size_t kTotal = 100u << 20;
  Origin origin([](OriginConnection& c) {
    std::string head;
    if (!c.ReadRequest(&head)) return;
    std::string block;
    while (block.size() < 60000) {
      block +=
          "<P>Some text of the story goes on. <A HREF=\"http://news.example/a\">more</A>\n"
          "<A HREF=\"http://ads.example/click?ad=1\"><IMG SRC=\"b.gif\" WIDTH=468 "
          "HEIGHT=60></A>\n";
    }
    c.Send("HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nTransfer-Encoding: chunked\r\n\r\n");
    const std::string chunk = Chunked(block, block.size());
    const std::string one = chunk.substr(0, chunk.size() - 5);  // without the last chunk
    for (std::size_t sent = 0; sent < kTotal; sent += block.size()) {
      if (!c.Send(one)) return;
    }
    c.Send("0\r\n\r\n");
  });
  ProxyProcess proxy(home_.path());
  const Response r = Get(proxy.port(), origin.Url("/big"));
  EXPECT_TRUE(r.complete);
  // Half of every block is an advertisement.
  EXPECT_GT(r.body.size(), kTotal * 4 / 10);
  EXPECT_LT(r.body.size(), kTotal * 6 / 10);
  // A sanitizer's own bookkeeping keeps freed memory: no figure to compare.
  if (std::string(VELQUOR_SANITIZE_FLAGS).empty()) {
    EXPECT_LT(proxy.PeakKb(), 64 * 1024) << "peak resident memory of the proxy";
  }
}

TEST_F(ProxyTest, WhatIsNotFilteredPassesByteForByte) {
  std::string binary;
  for (int i = 0; i < 70000; ++i) binary += static_cast<char>(i * 7 % 256);
  const std::string png = Ok("image/png", binary, "ETag: \"x\"\r\n");
  const std::string html = Ok("text/html", page_);
  Origin origin([&](OriginConnection& c) {
    std::string head;
    while (c.ReadRequest(&head)) {
      const std::string path = PathOf(head);
      if (path == "/png" && !c.Send(png)) return;
      if (path == "/page" && !c.Send(html)) return;
      if (path == "/partial" && !c.Send("HTTP/1.1 206 Partial Content\r\nContent-Type: "
                                        "text/html\r\nContent-Length: 10\r\n\r\n<A HREF=x>"))
        return;
    }
  });
  ProxyProcess proxy(home_.path());
  Response r = Get(proxy.port(), origin.Url("/png"));
  EXPECT_EQ(r.body, binary);
  EXPECT_EQ(r.fields["content-length"], "70000");
  EXPECT_EQ(r.fields["etag"], "\"x\"");
  EXPECT_EQ(Get(proxy.port(), origin.Url("/partial")).body, "<A HREF=x>");

  // An exception takes effect in the running proxy, and covers subdomains.
  ASSERT_EQ(RunVelquor(home_.path(), {"exempt", "add", "example.org", "127.0.0.1"}).status, 0);
  r = Get(proxy.port(), origin.Url("/page"));
  EXPECT_EQ(r.body, page_);
  EXPECT_EQ(r.fields["content-length"], std::to_string(page_.size()));
  EXPECT_EQ(Stats(), "Pages: 0\nKilled: 0\n");
  EXPECT_EQ(RunVelquor(home_.path(), {"exempt", "list"}).out, "example.org\n127.0.0.1\n");
  ASSERT_EQ(RunVelquor(home_.path(), {"exempt", "remove", "127.0.0.1"}).status, 0);
  EXPECT_EQ(Get(proxy.port(), origin.Url("/page")).body, Reference(page_));
  const RunResult bad = RunVelquor(home_.path(), {"exempt", "add", "a b/c"});
  EXPECT_EQ(bad.status, 1);
  EXPECT_EQ(bad.err, "velquor: exempt: 'a b/c' is not a host name or IP address\n");
}

// The proxy names the rules in use, takes up a rules file written while it
// runs for the pages that start after it, and listens at a loopback name.
TEST_F(ProxyTest, ChangedRulesApplyWithoutRestart) {
  TempDir install;
  ASSERT_EQ(RunVelquor(home_.path(), {"config", "set", "InstallDir", install.path()}).status, 0);
  const std::string page =
      "<html><body><a href=\"http://shop.example/\">cheesewheel</a> text</body></html>";
  Origin origin(Always(Ok("text/html", page)));
  ProxyProcess proxy(home_.path(), {"--listen", "localhost:0"});
  EXPECT_NE(proxy.Log().find("user rules: none: the rules file " + install.path() +
                             "/MYRULES.TXT cannot be read"),
            std::string::npos)
      << proxy.Log();
  EXPECT_EQ(Get(proxy.port(), origin.Url("/")).body, page);
  WriteFile(install.File("MYRULES.TXT"), "1,500,CHEESEWHEEL\r\n");
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));
  EXPECT_EQ(Get(proxy.port(), origin.Url("/")).body.find("cheesewheel"), std::string::npos);
  EXPECT_NE(proxy.Log().find("user rules changed: " + install.path() + "/MYRULES.TXT: 1 rule"),
            std::string::npos)
      << proxy.Log();
  WriteFile(install.File("MYRULES.TXT"), "// none\r\n");
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));
  EXPECT_EQ(Get(proxy.port(), origin.Url("/")).body, page);
}

// HEAD, 204 and 304 have no body, and the connection goes on after them;
// several requests share one client and one origin connection; an HTTP/1.0
// client gets a body that the end of the connection ends.
TEST_F(ProxyTest, KeepAliveBodilessAnswersAndHttp10) {
  const std::string page = ReadFile(SourceDir() + "/examples/plain.html");
  Origin origin([page](OriginConnection& c) {
    std::string head;
    while (c.ReadRequest(&head)) {
      const std::string path = PathOf(head);
      std::string r = Ok("text/html", page);
      if (path == "/204") r = "HTTP/1.1 204 No Content\r\nContent-Type: text/html\r\n\r\n";
      if (path == "/304") r = "HTTP/1.1 304 Not Modified\r\nContent-Type: text/html\r\n\r\n";
      if (head.rfind("HEAD", 0) == 0) r = r.substr(0, r.find("\r\n\r\n") + 4);
      if (!c.Send(r)) return;
    }
  });
  ProxyProcess proxy(home_.path());
  const std::string expected = Reference(page);
  const int fd = Dial(proxy.port());
  const char* steps[][2] = {
      {"GET", "/a"}, {"HEAD", "/a"}, {"GET", "/204"}, {"GET", "/304"}, {"GET", "/b"}};
  for (const auto& [method, path] : steps) {
    ASSERT_TRUE(
        SendAll(fd, std::string(method) + " " + origin.Url(path) + " HTTP/1.1\r\nHost: x\r\n\r\n"));
    Response r = ReadResponse(fd, std::string(method) == "HEAD");
    ASSERT_TRUE(r.complete) << method << " " << path;
    if (std::string(path) == "/a" && std::string(method) == "HEAD") {
      EXPECT_EQ(r.fields["content-length"], std::to_string(page.size()));
    } else if (path[1] == 'a' || path[1] == 'b') {
      EXPECT_EQ(r.body, expected) << path;
    } else {
      EXPECT_EQ(r.fields.count("transfer-encoding"), 0u) << path;
    }
  }
  close(fd);
  EXPECT_EQ(origin.connections(), 1);

  Response r10 = Exchange(proxy.port(), "GET " + origin.Url("/c") + " HTTP/1.0\r\n\r\n");
  EXPECT_EQ(r10.fields.count("transfer-encoding"), 0u) << r10.head;
  EXPECT_EQ(r10.fields["connection"], "close");
  EXPECT_EQ(r10.body, expected) << r10.head;
}

TEST_F(ProxyTest, RequestBodiesReachTheOriginWhole) {
  Origin origin([](OriginConnection& c) {
    std::string head, body;
    while (c.ReadRequest(&head, &body)) {
      if (!c.Send(Ok("application/octet-stream", body))) return;
    }
  });
  ProxyProcess proxy(home_.path());
  std::string body;
  for (int i = 0; i < 300000; ++i) body += static_cast<char>(i % 251);
  const std::string start = "POST " + origin.Url("/echo") + " HTTP/1.1\r\nHost: x\r\n";
  Response r = Exchange(proxy.port(), start + "Content-Length: " + std::to_string(body.size()) +
                                          "\r\nExpect: 100-continue\r\n\r\n" + body);
  // The proxy's own "100 Continue" comes first.
  EXPECT_EQ(r.status, 100);
  r = Exchange(proxy.port(),
               start + "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body);
  EXPECT_EQ(r.body, body);
  r = Exchange(proxy.port(), start + "Transfer-Encoding: chunked\r\n\r\n" + Chunked(body, 5000));
  EXPECT_EQ(r.body, body);
}

TEST_F(ProxyTest, ConnectTunnelsTlsUnseen) {
  const std::string openssl = FindProgram("openssl");
  if (openssl.empty()) GTEST_SKIP() << "openssl is not installed";
  TempDir tls;
  ASSERT_EQ(
      RunProgram(openssl, {"req", "-x509", "-newkey", "ec", "-pkeyopt",
                           "ec_paramgen_curve:prime256v1", "-nodes", "-keyout", tls.File("key.pem"),
                           "-out", tls.File("cert.pem"), "-subj", "/CN=localhost", "-days", "1"})
          .status,
      0);
  // A free port for the TLS server: the origin's, once it has gone.
  int port = 0;
  {
    Origin probe(Always(""));
    port = probe.port();
  }
  std::vector<std::string> args = {openssl,   "s_server",
                                   "-accept", "127.0.0.1:" + std::to_string(port),
                                   "-cert",   tls.File("cert.pem"),
                                   "-key",    tls.File("key.pem"),
                                   "-www",    "-quiet"};
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t server = -1;
  ASSERT_EQ(posix_spawn(&server, argv[0], nullptr, nullptr, argv.data(), environ), 0);
  for (int i = 0; i < 200; ++i) {
    const int fd = Dial(port);
    if (fd >= 0) {
      close(fd);
      break;
    }
    usleep(20000);
  }
  ProxyProcess proxy(home_.path());
  const RunResult r =
      RunProgram(openssl,
                 {"s_client", "-proxy", "127.0.0.1:" + std::to_string(proxy.port()), "-connect",
                  "127.0.0.1:" + std::to_string(port), "-servername", "localhost", "-quiet"},
                 {}, "GET / HTTP/1.0\r\n\r\n");
  kill(server, SIGTERM);
  waitpid(server, nullptr, 0);
  EXPECT_NE(r.out.find("HTTP/1.0 200 ok"), std::string::npos) << r.out << r.err;
  EXPECT_EQ(Stats(), "Pages: 0\nKilled: 0\n");
}

TEST_F(ProxyTest, WebSocketUpgradeIsTunnelled) {
  Origin origin([](OriginConnection& c) {
    std::string head;
    if (!c.ReadRequest(&head) || head.find("Upgrade: websocket") == std::string::npos) return;
    c.Send("HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n\r\n");
    char buf[64];
    const ssize_t n = read(c.fd(), buf, sizeof buf);
    if (n > 0) c.Send("echo:" + std::string(buf, static_cast<std::size_t>(n)));
  });
  ProxyProcess proxy(home_.path());
  const int fd = Dial(proxy.port());
  SendAll(fd, "GET " + origin.Url("/ws") +
                  " HTTP/1.1\r\nHost: x\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n\r\n");
  const Response r = ReadResponse(fd, true);
  EXPECT_EQ(r.status, 101);
  SendAll(fd, "frame");
  std::string got;
  char buf[64];
  for (ssize_t n; got.size() < 10 && (n = read(fd, buf, sizeof buf)) > 0;) got.append(buf, n);
  close(fd);
  EXPECT_EQ(got, "echo:frame");
}

TEST_F(ProxyTest, BadRequestsAndUpstreamFailuresGetClearAnswers) {
  Origin silent([](OriginConnection& c) {
    std::string head;
    c.ReadRequest(&head);
    usleep(3000000);
  });
  Origin early([](OriginConnection& c) {
    std::string head;
    if (!c.ReadRequest(&head)) return;
    c.Send("HTTP/1.1 200 OK\r\nContent-Type: " +
           std::string(PathOf(head) == "/html" ? "text/html" : "image/gif") +
           "\r\nContent-Length: 10000\r\n\r\n<P>only the beginning");
  });
  ProxyProcess proxy(home_.path(), {"--response-timeout", "1", "--max-connections", "3"});
  const std::string url = early.Url("/html");
  // Beyond the connection limit: 503, and the others are served as before.
  const int held[] = {Dial(proxy.port()), Dial(proxy.port()), Dial(proxy.port())};
  usleep(100000);
  EXPECT_EQ(Get(proxy.port(), url).status, 503);
  EXPECT_NE(proxy.Log().find("503 Service Unavailable"), std::string::npos) << proxy.Log();
  for (int fd : held) close(fd);
  usleep(100000);
  struct Case {
    std::string request;
    int status;
    std::string says;
  } cases[] = {
      {"HELLO\r\n\r\n", 400, "malformed request"},
      {"GET " + url + " HTTP/1.1\r\nX: " + std::string(40000, 'x') + "\r\n\r\n", 431, "header"},
      {"POST " + url + " HTTP/1.1\r\nContent-Length: 3\r\nTransfer-Encoding: chunked\r\n\r\n", 400,
       "malformed"},
      {"POST " + url + " HTTP/1.1\r\nContent-Length: 3\r\nContent-Length: 4\r\n\r\nabcd", 400,
       "malformed"},
      {"POST " + url + " HTTP/1.1\r\nTransfer-Encoding: gzip\r\n\r\n", 400, "chunked"},
      {"GET https://127.0.0.1/ HTTP/1.1\r\n\r\n", 400, "CONNECT"},
      {"CONNECT 127.0.0.1 HTTP/1.1\r\n\r\n", 400, "host:port"},
      {"GET http://127.0.0.1:1/ HTTP/1.1\r\n\r\n", 502, "127.0.0.1:1"},
      {"GET http://no-such-host.invalid/ HTTP/1.1\r\n\r\n", 502, "no-such-host.invalid"},
      {"GET " + silent.Url("/") + " HTTP/1.1\r\n\r\n", 504, "did not answer within 1 s"},
  };
  for (const Case& c : cases) {
    const Response r = Exchange(proxy.port(), c.request);
    EXPECT_EQ(r.status, c.status) << c.request.substr(0, 60);
    EXPECT_NE(r.body.find(c.says), std::string::npos) << r.body;
  }
  // An origin that closes early: the response is cut, not ended short.
  EXPECT_FALSE(Get(proxy.port(), url).complete);
  EXPECT_FALSE(Get(proxy.port(), early.Url("/gif")).complete);

  EXPECT_EQ(Get(proxy.port(), "http://velquor.localhost/").status, 200);
}

TEST_F(ProxyTest, StatusPageAndGracefulStop) {
  Origin origin([](OriginConnection& c) {
    std::string head;
    if (!c.ReadRequest(&head)) return;
    c.Send(
        "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Length: 38\r\n\r\n<P>first half ");
    usleep(500000);
    c.Send("and the second half</P>\n");
  });
  RunVelquor(home_.path(), {"exempt", "add", "intranet.example"});
  ProxyProcess proxy(home_.path());
  for (const char* request : {"GET http://velquor.invalid/ HTTP/1.1\r\n\r\n",
                              "GET http://velquor.localhost/ HTTP/1.1\r\n\r\n",
                              "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"}) {
    const Response r = Exchange(proxy.port(), request);
    EXPECT_EQ(r.status, 200);
    EXPECT_NE(r.body.find("<th>Pages</th><td>0</td>"), std::string::npos) << r.body;
    EXPECT_NE(r.body.find("<li>intranet.example</li>"), std::string::npos);
    EXPECT_NE(r.body.find(VELQUOR_LIB), std::string::npos);
  }
  // A stop lets the response in flight finish.
  Response slow;
  std::thread fetch([&] { slow = Get(proxy.port(), origin.Url("/")); });
  usleep(200000);
  EXPECT_EQ(proxy.Stop(SIGTERM), 0);
  fetch.join();
  EXPECT_TRUE(slow.complete);
  EXPECT_EQ(slow.body, "<P>first half and the second half</P>\n");
  EXPECT_EQ(Stats(), "Pages: 1\nKilled: 0\n");
}

}  // namespace
}  // namespace velquor::test

namespace velquor::test {
namespace {

// A real browser through the proxy: its DOM has no ads and has the footer.
// The screenshot stays in the build tree for a person to look at.
TEST_F(ProxyTest, HeadlessChromiumSeesThePageWithoutAds) {
  const std::string chromium = FindProgram("chromium");
  if (chromium.empty()) GTEST_SKIP() << "chromium is not installed";
  const std::string page = page_;
  Origin origin([page](OriginConnection& c) {
    std::string head;
    while (c.ReadRequest(&head)) {
      const bool is_page = PathOf(head) == "/portal.html";
      if (!c.Send(is_page ? Ok("text/html", page)
                          : "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n")) {
        return;
      }
    }
  });
  ProxyProcess proxy(home_.path());
  TempDir profile;
  const std::vector<std::string> args = ChromiumArgs(proxy.port(), profile);
  const std::string url = origin.Url("/portal.html");
  std::vector<std::string> dump = args;
  dump.insert(dump.end(), {"--dump-dom", url});
  const RunResult dom = RunProgram(chromium, dump, {"HOME=" + profile.path()});
  EXPECT_NE(dom.out.find("Today's Headlines"), std::string::npos) << dom.err;
  EXPECT_EQ(dom.out.find("ads.megaclick"), std::string::npos);
  EXPECT_NE(dom.out.find("removed 8 ads from this page"), std::string::npos);
  // The status page's name is one that a browser sends to its proxy.
  dump.back() = "http://velquor.invalid/";
  EXPECT_NE(RunProgram(chromium, dump, {"HOME=" + profile.path()}).out.find("<th>Pages</th>"),
            std::string::npos);

  const std::string shot = std::string(VELQUOR_BINARY_DIR) + "/proxy-chromium.png";
  std::vector<std::string> capture = args;
  capture.insert(capture.end(), {"--screenshot=" + shot, "--window-size=1024,900", url});
  RunProgram(chromium, capture, {"HOME=" + profile.path()});
  EXPECT_GT(ReadFile(shot).size(), 1000u);
}

// The filter lists through a real browser: what a list blocks is never
// asked of the origin, and what it hides is hidden (the page's own script
// reads the computed styles into the DOM). Then, through a socket: a tunnel
// to a blocked host refused, a list added while the proxy runs, the status
// page's counts, and an exempted host left alone.
TEST_F(ProxyTest, FilterListsBlockRequestsAndHideElementsInChromium) {
  const std::string chromium = FindProgram("chromium");
  if (chromium.empty()) GTEST_SKIP() << "chromium is not installed";
  ListsProbe probe;
  Origin origin(probe.Serve());
  WriteFile(home_.File("ads.txt"), ListsProbe::kList);
  ASSERT_EQ(RunVelquor(home_.path(), {"lists", "add", home_.File("ads.txt")}).status, 0);
  ProxyProcess proxy(home_.path());
  TempDir profile;
  std::vector<std::string> args = ChromiumArgs(proxy.port(), profile);
  args.insert(args.end(), {"--run-all-compositor-stages-before-draw", "--virtual-time-budget=5000",
                           "--dump-dom", origin.Url("/page.html")});
  const RunResult dom = RunProgram(chromium, args, {"HOME=" + profile.path()});
  EXPECT_NE(dom.out.find(ListsProbe::kAllActed), std::string::npos) << dom.out << dom.err;
  EXPECT_TRUE(probe.Asked("/img/fine.png"));
  for (const char* blocked : {"/ads/banner.png", "/ads/track.js", "/adframe/f.html"}) {
    EXPECT_FALSE(probe.Asked(blocked)) << blocked;
  }

  Response r = Exchange(proxy.port(),
                        "CONNECT ads.blocked.example:443 HTTP/1.1\r\n"
                        "Host: ads.blocked.example:443\r\n\r\n");
  EXPECT_EQ(r.status, 403);
  EXPECT_EQ(r.fields["cache-control"], "no-store");
  // A navigation to a blocked page is told why and what to do.
  r = Get(proxy.port(), origin.Url("/ads/page"), "Sec-Fetch-Dest: document\r\n");
  EXPECT_EQ(r.status, 403);
  EXPECT_NE(r.body.find("velquor exempt add 127.0.0.1"), std::string::npos) << r.body;
  // A list added while the proxy runs counts from the next requests on.
  WriteFile(home_.File("more.txt"), "/img/late.png\n");
  ASSERT_EQ(RunVelquor(home_.path(), {"lists", "add", home_.File("more.txt")}).status, 0);
  for (int i = 0; i < 50; ++i) {
    r = Get(proxy.port(), origin.Url("/img/late.png"), "Sec-Fetch-Dest: image\r\n");
    if (r.fields["content-type"] == "image/gif") break;
    usleep(100000);
  }
  EXPECT_EQ(r.fields["content-type"], "image/gif");
  EXPECT_EQ(r.body.size(), 43u);
  r = Get(proxy.port(), "http://velquor.localhost/");
  EXPECT_NE(r.body.find("<tr><td>ads</td><td>6</td>"), std::string::npos) << r.body;
  EXPECT_NE(r.body.find("<tr><td>more</td><td>1</td>"), std::string::npos) << r.body;
  EXPECT_NE(r.body.find("Requests blocked: "), std::string::npos);
  EXPECT_EQ(r.body.find("Requests blocked: 0<"), std::string::npos);
  // An exempted host: neither blocked nor hidden in.
  ASSERT_EQ(RunVelquor(home_.path(), {"exempt", "add", "127.0.0.1"}).status, 0);
  r = Get(proxy.port(), origin.Url("/ads/banner.png"), "Sec-Fetch-Dest: image\r\n");
  EXPECT_EQ(r.body, ListsProbe::kImage);
  r = Get(proxy.port(), origin.Url("/page.html"));
  EXPECT_EQ(r.body, ListsProbe::kPage);
}

}  // namespace
}  // namespace velquor::test
