// `velquor icap` end to end: the built program behind a real Squid (started
// here on loopback with a configuration of its own), fetched through with
// curl and headless Chromium, talked to by c-icap-client, and spoken to
// byte by byte for the protocol's edges.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <chrono>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "e2e_util.h"
#include "proxy_util.h"
#include "squid_util.h"
#include "zlib_coding.h"

namespace velquor::test {
namespace {

std::string IcapUri(const ProxyProcess& icap, const char* service) {
  return "icap://127.0.0.1:" + std::to_string(icap.port()) + service;
}

// A connection whose reads give up after 10 s, so that a service that hangs
// fails the test instead of stalling it.
int DialService(int port) {
  const int fd = Dial(port);
  const timeval tv{10, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  return fd;
}

// Sends one whole message on a connection of its own and reads all that
// comes back until the service closes it.
std::string Exchange(int port, const std::string& bytes) {
  const int fd = DialService(port);
  SendAll(fd, bytes);
  shutdown(fd, SHUT_WR);
  std::string got;
  char buf[4096];
  for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;) got.append(buf, n);
  close(fd);
  return got;
}

std::string PathOf(const std::string& head) {
  const std::size_t a = head.find(' ');
  return head.substr(a + 1, head.find(' ', a + 1) - a - 1);
}

class IcapTest : public ::testing::Test {
 protected:
  void SetUp() override {
    squid_program_ = FindSquid();
    std::mt19937 random(7);
    binary_.resize(300 * 1024);
    for (char& c : binary_) c = static_cast<char>(random());
  }
  // The page as `velquor filter` gives it read whole, in a fresh profile.
  static std::string Reference(const std::string& page) {
    TempDir fresh;
    WriteFile(fresh.File("page.html"), page);
    return RunVelquor(fresh.path(), {"filter", "--library", VELQUOR_LIB, "--read-size", "16777216",
                                     fresh.File("page.html")})
        .out;
  }
  std::string Stats() { return RunVelquor(home_.path(), {"stats"}).out; }
  // curl through Squid: the body, or "" with a test failure.
  static RunResult Curl(const Squid& squid, const std::string& url) {
    return RunProgram(
        FindProgram("curl"),
        {"-s", "--max-time", "30", "-x", "http://127.0.0.1:" + std::to_string(squid.port()), url});
  }
  // An origin serving the portal page in several framings, and more.
  Origin::Script Pages() {
    const std::string page = page_;
    const std::string binary = binary_;
    return [page, binary](OriginConnection& c) {
      std::string head;
      while (c.ReadRequest(&head)) {
        const std::string path = PathOf(head);
        std::string r;
        if (path == "/page") r = Ok("text/html", page);
        if (path == "/gzip") r = Ok("text/html", Deflate(page, 31), "Content-Encoding: gzip\r\n");
        if (path == "/binary") r = Ok("application/octet-stream", binary);
        if (path == "/partial") r = Ok("text/html", page, "Content-Range: bytes 0-99/100\r\n");
        if (path == "/partial") r.replace(9, 6, "206 Partial Content");
        if (path == "/empty") r = Ok("text/html", "");
        if (path == "/slow") {
          // Half the page, a pause, the rest: a page in flight for a while.
          r = Ok("text/html", page);
          if (!c.Send(r.substr(0, r.size() / 2))) return;
          sleep(2);
          r.erase(0, r.size() / 2);
        }
        if (r.empty()) r = "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n";
        if (!c.Send(r)) return;
      }
    };
  }

  TempDir home_;
  std::string squid_program_;
  std::string binary_;
  const std::string page_ = ReadFile(SourceDir() + "/examples/portal.html");
};

TEST_F(IcapTest, SquidWithTheServiceFiltersPagesAndPassesEverythingElse) {
  if (squid_program_.empty() || FindProgram("curl").empty()) GTEST_SKIP() << "no squid or curl";
  Origin origin(Pages());
  ProxyProcess icap(home_.path(), {}, "icap");
  Squid squid(squid_program_, {IcapUri(icap, "/respmod")}, {IcapUri(icap, "/reqmod")});
  const std::string expected = Reference(page_);
  ASSERT_NE(expected, page_);
  for (const char* path : {"/page", "/gzip"}) {
    RunVelquor(home_.path(), {"stats", "--reset"});
    EXPECT_EQ(Curl(squid, origin.Url(path)).out, expected) << path << squid.Log() << icap.Log();
    EXPECT_EQ(Stats(), "Pages: 1\nKilled: 8\n") << path;
  }
  EXPECT_TRUE(Curl(squid, origin.Url("/binary")).out == binary_);
  EXPECT_EQ(Curl(squid, origin.Url("/partial")).out, page_);
  EXPECT_EQ(Curl(squid, origin.Url("/empty")).out, "");
  // An exempted host's pages pass as they are.
  RunVelquor(home_.path(), {"exempt", "add", "localhost"});
  const std::string exempt = "http://localhost:" + std::to_string(origin.port()) + "/page";
  EXPECT_EQ(Curl(squid, exempt).out, page_);
  EXPECT_EQ(Stats(), "Pages: 1\nKilled: 8\n");
}

// A real browser through Squid and the service: the page's DOM has no ads
// and has the footer; with a filter list, what it blocks is never asked of
// the origin (Squid answers from the service's REQMOD), and what it hides
// is hidden.
TEST_F(IcapTest, HeadlessChromiumThroughSquidSeesPagesFilteredBlockedAndHidden) {
  const std::string chromium = FindProgram("chromium");
  if (squid_program_.empty() || chromium.empty()) GTEST_SKIP() << "no squid or chromium";
  Origin origin(Pages());
  ListsProbe probe;
  Origin listed(probe.Serve());
  WriteFile(home_.File("ads.txt"), ListsProbe::kList);
  ASSERT_EQ(RunVelquor(home_.path(), {"lists", "add", home_.File("ads.txt")}).status, 0);
  ProxyProcess icap(home_.path(), {}, "icap");
  Squid squid(squid_program_, {IcapUri(icap, "/respmod")}, {IcapUri(icap, "/reqmod")});
  TempDir profile;
  auto dom = [&](const std::string& url) {
    std::vector<std::string> args = ChromiumArgs(squid.port(), profile);
    args.insert(args.end(), {"--run-all-compositor-stages-before-draw",
                             "--virtual-time-budget=5000", "--dump-dom", url});
    return RunProgram(chromium, args, {"HOME=" + profile.path()});
  };
  const RunResult portal = dom(origin.Url("/page"));
  EXPECT_NE(portal.out.find("Today's Headlines"), std::string::npos) << portal.err << squid.Log();
  EXPECT_EQ(portal.out.find("ads.megaclick"), std::string::npos);
  EXPECT_NE(portal.out.find("removed 8 ads from this page"), std::string::npos);
  const RunResult lists = dom(listed.Url("/page.html"));
  EXPECT_NE(lists.out.find(ListsProbe::kAllActed), std::string::npos)
      << lists.out << squid.Log() << icap.Log();
  EXPECT_TRUE(probe.Asked("/img/fine.png"));
  for (const char* blocked : {"/ads/banner.png", "/ads/track.js", "/adframe/f.html"}) {
    EXPECT_FALSE(probe.Asked(blocked)) << blocked;
  }
}

// Two services in one set: one killed mid-run, every later request is still
// answered (through the other) and none hangs.
TEST_F(IcapTest, SquidFailsOverWhenOneServiceIsKilled) {
  if (squid_program_.empty() || FindProgram("curl").empty()) GTEST_SKIP() << "no squid or curl";
  Origin origin(Pages());
  ProxyProcess first(home_.path(), {}, "icap");
  ProxyProcess second(home_.path(), {}, "icap");
  // A service that fails is bypassed for the message in flight (it passes
  // unfiltered) and the set moves on to the next.
  Squid squid(squid_program_, {IcapUri(first, "/respmod"), IcapUri(second, "/respmod")}, {}, true);
  int filtered = 0;
  std::thread in_flight;
  for (int i = 0; i < 30; ++i) {
    if (i == 10) {
      // Killed while it streams a page: that page may come cut short, but
      // it comes to an end.
      in_flight = std::thread([&] {
        const auto start = std::chrono::steady_clock::now();
        Curl(squid, origin.Url("/slow"));
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
      });
      usleep(700000);
      EXPECT_EQ(first.Stop(SIGKILL), 128 + SIGKILL);
    }
    const auto start = std::chrono::steady_clock::now();
    const RunResult r = Curl(squid, origin.Url(i % 2 ? "/page" : "/binary"));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20)) << i;
    EXPECT_FALSE(r.out.empty()) << "request " << i << " unanswered\n" << squid.Log();
    if (i % 2 == 0) {
      EXPECT_TRUE(r.out == binary_) << i;
    } else if (i > 10) {
      // The totals in the footer grow from page to page.
      filtered += r.out.find("removed 8 ads from this page") != std::string::npos &&
                  r.out.find("ads.megaclick") == std::string::npos;
    }
  }
  in_flight.join();
  EXPECT_GE(filtered, 9) << squid.Log();
}

TEST_F(IcapTest, CIcapClientGetsOptionsAndAFilteredResponse) {
  const std::string client = FindProgram("c-icap-client");
  if (client.empty()) GTEST_SKIP() << "c-icap-client is not installed";
  ProxyProcess icap(home_.path(), {}, "icap");
  const std::string port = std::to_string(icap.port());
  const RunResult options = RunProgram(
      client, {"-i", "127.0.0.1", "-p", port, "-s", "respmod", "-method", "OPTIONS", "-v"});
  for (const char* line :
       {"ICAP/1.0 200 OK", "Methods: RESPMOD", "Allow: 204", "Preview: 0", "Transfer-Preview: *",
        "Options-TTL: 60", "Max-Connections: 512", "Encapsulated: null-body=0", "ISTag: \"VQ-"}) {
    EXPECT_NE((options.out + options.err).find(line), std::string::npos)
        << line << "\n"
        << options.out << options.err;
  }
  TempDir work;
  WriteFile(work.File("page.html"), page_);
  for (const char* preview : {"-nopreview", "-no204"}) {
    RunProgram(client, {"-i", "127.0.0.1", "-p", port, "-s", "respmod", "-f",
                        work.File("page.html"), "-o", work.File("out.html"), "-rhx",
                        "Content-Type: text/html", "-resp", "http://example.org/", preview});
    EXPECT_EQ(ReadFile(work.File("out.html")), Reference(page_)) << preview << icap.Log();
    RunVelquor(home_.path(), {"stats", "--reset"});
  }
}

// The protocol's edges, spoken directly.
TEST_F(IcapTest, MalformedLimitedAndAbandonedMessagesAreAnsweredOrFreed) {
  ProxyProcess icap(home_.path(), {"--max-connections", "3"}, "icap");
  auto exchange = [&](const std::string& bytes) { return Exchange(icap.port(), bytes); };
  const std::string html = "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\n\r\n";
  const std::string hdr = "Encapsulated: res-hdr=0, res-body=" + std::to_string(html.size());
  const struct {
    std::string request;
    const char* status;
  } kCases[] = {
      {"GARBAGE\r\n\r\n", "ICAP/1.0 400 "},
      {"RESPMOD icap://h/respmod ICAP/1.0\r\nEncapsulated: res-hdr=0, res-body=9\r\n\r\n"
       "HTTP/1.1 200 OK\r\n\r\n",
       "ICAP/1.0 400 "},
      {"RESPMOD icap://h/respmod ICAP/1.0\r\nPreview: 0\r\n" + hdr + "\r\n\r\n" + html + "zz\r\n",
       "ICAP/1.0 400 "},
      {"OPTIONS icap://h/nothing ICAP/1.0\r\n\r\n", "ICAP/1.0 404 "},
      {"RESPMOD icap://h/reqmod ICAP/1.0\r\n" + hdr + "\r\n\r\n", "ICAP/1.0 405 "},
      {"PUT icap://h/reqmod ICAP/1.0\r\n\r\n", "ICAP/1.0 501 "},
      {"REQMOD icap://h/reqmod ICAP/1.0\r\nAllow: 204\r\nEncapsulated: req-hdr=0, null-body=18"
       "\r\n\r\nGET / HTTP/1.1\r\n\r\n",
       "ICAP/1.0 204 "},
      // No 204 allowed and no preview: the message comes back unchanged.
      {"REQMOD icap://h/reqmod ICAP/1.0\r\nEncapsulated: req-hdr=0, req-body=18\r\n\r\n"
       "GET / HTTP/1.1\r\n\r\n3\r\nabc\r\n0\r\n\r\n",
       "ICAP/1.0 200 OK"},
  };
  for (const auto& c : kCases) {
    EXPECT_EQ(exchange(c.request).rfind(c.status, 0), 0u) << c.request;
  }
  EXPECT_NE(exchange(kCases[7].request).find("\r\n\r\nGET / HTTP/1.1\r\n\r\n3\r\nabc\r\n0\r\n\r\n"),
            std::string::npos);

  // A page after a preview: 100 Continue, then the head and the first
  // filtered bytes before the rest of the body is sent.
  const int fd = DialService(icap.port());
  SendAll(fd, "RESPMOD icap://h/respmod ICAP/1.0\r\nPreview: 0\r\nAllow: 204\r\n" + hdr +
                  "\r\n\r\n" + html + "0\r\n\r\n");
  std::string got;
  char buf[65536];
  auto read_until = [&](const std::string& what) {
    while (got.find(what) == std::string::npos) {
      const ssize_t n = read(fd, buf, sizeof buf);
      if (n <= 0) return false;
      got.append(buf, n);
    }
    return true;
  };
  ASSERT_TRUE(read_until("ICAP/1.0 100 Continue\r\n\r\n"));
  const std::string part = std::string(20000, 'x') + "<P>first</P>";
  char size[16];
  std::snprintf(size, sizeof size, "%zx\r\n", part.size());
  SendAll(fd, size + part + "\r\n");
  EXPECT_TRUE(read_until("<P>first</P>")) << got;
  EXPECT_NE(got.find("ICAP/1.0 200 OK"), std::string::npos);
  // The client leaves mid-body; the service frees the page and serves on.
  close(fd);
  // Connections over the limit are refused with 503, and those that go
  // free room for new ones.
  // (Each held connection is served once, so none of them is the refused one
  // while the abandoned message above is still being freed.)
  std::vector<int> held;
  for (int tries = 0; held.size() < 3 && tries < 100; ++tries) {
    const int h = DialService(icap.port());
    SendAll(h, "OPTIONS icap://h/respmod ICAP/1.0\r\n\r\n");
    const ssize_t n = read(h, buf, 16);
    if (n == 16 && std::string(buf, 16) == "ICAP/1.0 200 OK\r") {
      held.push_back(h);
    } else {
      close(h);
      usleep(50000);
    }
  }
  EXPECT_EQ(held.size(), 3u);  // the abandoned message's connection went
  const std::string refused = exchange("OPTIONS icap://h/respmod ICAP/1.0\r\n\r\n");
  EXPECT_EQ(refused.rfind("ICAP/1.0 503 ", 0), 0u) << refused << icap.Log();
  for (int h : held) close(h);
  std::string before;
  for (int i = 0; i < 100 && before.rfind("ICAP/1.0 200 OK", 0) != 0; ++i) {
    usleep(50000);  // until the service has seen the connections go
    before = exchange("OPTIONS icap://h/respmod ICAP/1.0\r\n\r\n");
  }
  EXPECT_EQ(before.rfind("ICAP/1.0 200 OK", 0), 0u) << before;
  // The ISTag follows the settings, so Squid learns of a change.
  RunVelquor(home_.path(), {"config", "set", "Score", "50"});
  sleep(1);
  const std::string after = exchange("OPTIONS icap://h/respmod ICAP/1.0\r\n\r\n");
  auto tag = [](const std::string& r) { return r.substr(r.find("ISTag: "), 30); };
  EXPECT_NE(tag(before), tag(after));
  EXPECT_EQ(icap.Stop(SIGTERM), 0) << icap.Log();
}

// A request the filter lists block is answered with the filtering proxy's
// response encapsulated, any other with 204. A rules file or a list written
// while the service runs applies to the messages that start after it, and
// the ISTag changes with each so that the proxy revalidates what it keeps.
TEST_F(IcapTest, ChangedRulesAndListsApplyWithoutRestartAndChangeTheIsTag) {
  TempDir install;
  ASSERT_EQ(RunVelquor(home_.path(), {"config", "set", "InstallDir", install.path()}).status, 0);
  WriteFile(home_.File("ads.txt"), "||ads.example^\n/banner/*$image\n");
  ASSERT_EQ(RunVelquor(home_.path(), {"lists", "add", home_.File("ads.txt")}).status, 0);
  ProxyProcess icap(home_.path(), {"--listen", "localhost:0"}, "icap");
  auto reqmod = [&](const std::string& head) {
    return Exchange(icap.port(),
                    "REQMOD icap://h/reqmod ICAP/1.0\r\nAllow: 204\r\n"
                    "Encapsulated: req-hdr=0, null-body=" +
                        std::to_string(head.size()) + "\r\n\r\n" + head);
  };
  // Absolute targets as a caching proxy sends them, and origin-form ones
  // under their Host; a tunnel to a host blocked whole is refused.
  const struct {
    std::string head;
    std::string answer;  // the start of the encapsulated response; "" for a pass
  } cases[] = {
      {"GET http://ads.example/x.js HTTP/1.1\r\nHost: ads.example\r\n\r\n",
       "HTTP/1.1 403 Forbidden\r\n"},
      {"GET /banner/a.gif HTTP/1.1\r\nHost: news.example\r\nSec-Fetch-Dest: image\r\n\r\n",
       "HTTP/1.1 200 OK\r\nContent-Type: image/gif\r\n"},
      {"CONNECT ads.example:443 HTTP/1.1\r\nHost: ads.example:443\r\n\r\n",
       "HTTP/1.1 403 Forbidden\r\n"},
      {"GET https://news.example/banner/a.js HTTP/1.1\r\n\r\n", ""},
      {"GET / HTTP/1.1\r\n\r\n", ""},
  };
  for (const auto& c : cases) {
    const std::string got = reqmod(c.head);
    if (c.answer.empty()) {
      EXPECT_EQ(got.rfind("ICAP/1.0 204 No Content\r\n", 0), 0u) << c.head << got;
    } else {
      EXPECT_EQ(got.rfind("ICAP/1.0 200 OK\r\n", 0), 0u) << c.head << got;
      EXPECT_NE(got.find("Encapsulated: res-hdr=0, "), std::string::npos) << got;
      EXPECT_NE(got.find("\r\n\r\n" + c.answer), std::string::npos) << c.head << got;
    }
  }

  const std::string page =
      "<html><body><a href=\"http://shop.example/\">cheesewheel</a> text</body></html>";
  const std::string html = "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\n\r\n";
  char size[16];
  std::snprintf(size, sizeof size, "%zx\r\n", page.size());
  const std::string respmod =
      "RESPMOD icap://h/respmod ICAP/1.0\r\nEncapsulated: res-hdr=0, "
      "res-body=" +
      std::to_string(html.size()) + "\r\n\r\n" + html + size + page + "\r\n0\r\n\r\n";
  auto is_tag = [&] {
    const std::string got = Exchange(icap.port(), "OPTIONS icap://h/respmod ICAP/1.0\r\n\r\n");
    const std::size_t at = got.find("ISTag: ");
    return at == std::string::npos ? got : got.substr(at, got.find("\r\n", at) - at);
  };
  const std::string before = is_tag();
  EXPECT_NE(Exchange(icap.port(), respmod).find("cheesewheel"), std::string::npos);
  WriteFile(install.File("MYRULES.TXT"), "1,500,CHEESEWHEEL\r\n");
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));
  const std::string filtered = Exchange(icap.port(), respmod);
  EXPECT_EQ(filtered.rfind("ICAP/1.0 200 OK", 0), 0u) << filtered;
  EXPECT_EQ(filtered.find("cheesewheel"), std::string::npos) << filtered;
  const std::string after_rules = is_tag();
  EXPECT_NE(after_rules, before);
  EXPECT_NE(icap.Log().find("user rules changed: " + install.path() + "/MYRULES.TXT: 1 rule"),
            std::string::npos)
      << icap.Log();

  WriteFile(home_.File("more.txt"), "||news.example^\n");
  ASSERT_EQ(RunVelquor(home_.path(), {"lists", "add", home_.File("more.txt")}).status, 0);
  std::string after_lists = after_rules;
  for (int i = 0; i < 50 && after_lists == after_rules; ++i) {
    usleep(100000);
    after_lists = is_tag();
  }
  EXPECT_NE(after_lists, after_rules);
  EXPECT_EQ(reqmod(cases[3].head).rfind("ICAP/1.0 200 OK\r\n", 0), 0u);
}

}  // namespace
}  // namespace velquor::test
