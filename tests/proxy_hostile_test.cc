// `velquor proxy` between misbehaving parties: nginx taking form posts,
// origins that send more than they frame or nothing but informational
// answers, bodies that decode into large windows, framing that two parties
// could read differently, loops back into the proxy, and too few descriptors.
#include <brotli/encode.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "e2e_util.h"
#include "proxy_util.h"

namespace velquor::test {
namespace {

using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

class HostileTest : public ::testing::Test {
 protected:
  TempDir home_;
};

TEST_F(HostileTest, FormPostsReachNginxWithOneContentLength) {
  NginxOrigin nginx("location / { return 200 \"length=$content_length\\n\"; }");
  if (nginx.port() == 0) GTEST_SKIP() << "nginx is not installed";
  ProxyProcess proxy(home_.path());
  const std::string start = "POST " + nginx.Url("/form") +
                            " HTTP/1.1\r\nHost: x\r\nContent-Type: "
                            "application/x-www-form-urlencoded\r\nConnection: close\r\n";
  const struct {
    const char* fields;
    const char* body;
    const char* answer;
  } cases[] = {
      {"Content-Length: 7\r\n", "q=hello", "length=7\n"},
      {"Content-Length: 007\r\n", "q=hello", "length=7\n"},
      {"Content-Length: 7\r\nContent-Length: 7\r\n", "q=hello", "length=7\n"},
      {"Transfer-Encoding: chunked\r\n", "7\r\nq=hello\r\n0\r\n\r\n", "length="},
  };
  for (const auto& c : cases) {
    const Response r = Exchange(proxy.port(), start + c.fields + "\r\n" + c.body);
    EXPECT_EQ(r.status, 200) << c.fields << r.body << nginx.ErrorLog();
    EXPECT_EQ(r.body.rfind(c.answer, 0), 0u) << c.fields << r.body;
  }
}

// What an origin sends beyond the response it framed is never taken for the
// answer to the client's next request.
TEST_F(HostileTest, BytesBeyondAResponseNeverAnswerTheNextRequest) {
  const std::string injected = Ok("text/plain", "injected");
  Origin origin([&](OriginConnection& c) {
    std::string head;
    while (c.ReadRequest(&head)) {
      const std::string path = PathOf(head);
      std::string r = Ok("text/plain", "fresh");
      if (path == "/head") r = "HTTP/1.1 200 OK\r\nContent-Length: 8\r\n\r\n" + injected;
      if (path == "/extra") r = Ok("text/plain", "ok") + injected;
      if (path == "/204") r = "HTTP/1.1 204 No Content\r\n\r\n" + injected;
      if (path == "/html") r = Ok("text/html", "<P>page</P>") + injected;
      if (path == "/chunked") {
        r = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n2\r\nok\r\n0\r\n\r\n" + injected;
      }
      if (path == "/late") {
        if (!c.Send(Ok("text/plain", "ok"))) return;
        usleep(200000);
        r = injected;
      }
      if (!c.Send(r)) return;
    }
  });
  ProxyProcess proxy(home_.path());
  for (const char* path : {"/head", "/extra", "/204", "/html", "/chunked", "/late"}) {
    const bool head = std::string(path) == "/head";
    const int fd = Dial(proxy.port());
    SendAll(fd, std::string(head ? "HEAD " : "GET ") + origin.Url(path) +
                    " HTTP/1.1\r\nHost: x\r\n\r\n");
    EXPECT_TRUE(ReadResponse(fd, head).complete) << path;
    usleep(400000);  // the late bytes come meanwhile
    SendAll(fd, "GET " + origin.Url("/next") + " HTTP/1.1\r\nHost: x\r\n\r\n");
    EXPECT_EQ(ReadResponse(fd).body, "fresh") << path;
    close(fd);
  }
}

TEST_F(HostileTest, FramingDoubtsAndLoopsGetPromptClearAnswers) {
  Origin storm([](OriginConnection& c) {
    std::string head;
    if (!c.ReadRequest(&head)) return;
    while (c.Send("HTTP/1.1 100 Continue\r\n\r\n")) {
    }
  });
  Origin trickle([](OriginConnection& c) {
    std::string head;
    if (!c.ReadRequest(&head)) return;
    for (int i = 0; i < 50 && c.Send("HTTP/1.1 102 Processing\r\n\r\n"); ++i) usleep(200000);
  });
  Origin fine(Always(Ok("text/plain", "fine")));
  ProxyProcess proxy(home_.path(), {"--response-timeout", "2", "--idle-timeout", "30"});
  const std::string self = "127.0.0.1:" + std::to_string(proxy.port());
  const std::string post = "POST " + fine.Url("/") + " HTTP/1.1\r\nHost: x\r\n";
  const struct {
    std::string request;
    int status;
    const char* says;
  } cases[] = {
      {"GET " + storm.Url("/") + " HTTP/1.1\r\n\r\n", 502, "informational"},
      {"GET " + trickle.Url("/") + " HTTP/1.1\r\n\r\n", 504, "did not answer within 2 s"},
      {post + "Transfer-Encoding: gzip, chunked\r\n\r\n5\r\nhello\r\n0\r\n\r\n", 501, "gzip"},
      {post + "Transfer-Encoding: x-frob\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n", 501,
       "x-frob"},
      {post + "Transfer-Encoding: chunked\r\n\r\n5\nhello\n0\n\n", 400, "chunk"},
      {post + "Transfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n0\n\n", 400, "chunk"},
      {"CONNECT " + self + " HTTP/1.1\r\n\r\n", 403, "itself"},
      {"CONNECT localhost:" + std::to_string(proxy.port()) + " HTTP/1.1\r\n\r\n", 403, "itself"},
  };
  for (const auto& c : cases) {
    const auto start = Clock::now();
    const Response r = Exchange(proxy.port(), c.request);
    EXPECT_EQ(r.status, c.status) << c.request.substr(0, 70);
    EXPECT_NE(r.body.find(c.says), std::string::npos) << r.body;
    EXPECT_LT(SecondsSince(start), 10) << c.request.substr(0, 70);
  }
  // CONNECTs to the proxy itself in one write do not chain into a session each.
  std::string lines;
  for (int i = 0; i < 600; ++i)
    lines += "CONNECT " + self + " HTTP/1.1\r\nHost: " + self + "\r\n\r\n";
  EXPECT_EQ(Exchange(proxy.port(), lines).status, 403);
  usleep(300000);
  EXPECT_LT(proxy.OpenFiles(), 40);
  EXPECT_EQ(Get(proxy.port(), fine.Url("/")).body, "fine");
}

// Brotli bodies may ask for a 16 MB window each: pages decoded at once share a
// bounded amount of memory, which goes back once they are done.
TEST_F(HostileTest, BrotliWindowsShareBoundedMemoryAndGiveItBack) {
  if (!std::string(VELQUOR_SANITIZE_FLAGS).empty()) GTEST_SKIP() << "a sanitizer keeps memory";
  std::string page = "<HTML><BODY>\n";
  while (page.size() < (9u << 20)) {
    page += "<P>Plain words of a long story, line after line, and no link at all.</P>\n";
  }
  page += "</BODY></HTML>\n";
  std::size_t size = BrotliEncoderMaxCompressedSize(page.size());
  std::string coded(size, '\0');
  ASSERT_TRUE(BrotliEncoderCompress(2, 24, BROTLI_MODE_TEXT, page.size(),
                                    reinterpret_cast<const uint8_t*>(page.data()), &size,
                                    reinterpret_cast<uint8_t*>(coded.data())));
  coded.resize(size);
  constexpr int kClients = 32;
  std::atomic<int> halfway{0};
  Origin origin([&](OriginConnection& c) {
    std::string head;
    if (!c.ReadRequest(&head)) return;
    c.Send(
        "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Encoding: br\r\nContent-Length: " +
        std::to_string(coded.size()) + "\r\n\r\n" + coded.substr(0, coded.size() / 2));
    ++halfway;  // every response is half way before any ends
    for (int i = 0; i < 500 && halfway < kClients; ++i) usleep(20000);
    c.Send(coded.substr(coded.size() / 2));
  });
  ProxyProcess proxy(home_.path());
  const long idle_kb = proxy.RssKb();
  std::atomic<int> whole{0}, refused{0}, cut{0};
  std::vector<std::thread> clients;
  for (int i = 0; i < kClients; ++i) {
    clients.emplace_back([&] {
      const Response r = Get(proxy.port(), origin.Url("/page"));
      if (r.status == 200 && r.complete && r.body.size() >= page.size()) {
        ++whole;
      } else if (r.status == 502 && r.body.find("memory") != std::string::npos) {
        ++refused;
      } else if (r.status == 200 && !r.complete) {
        ++cut;
      }
    });
  }
  for (std::thread& t : clients) t.join();
  EXPECT_EQ(whole + refused + cut, kClients);
  EXPECT_GE(whole, 4);
  EXPECT_LT(proxy.PeakKb(), idle_kb + 192 * 1024) << "peak resident memory of the proxy";
  EXPECT_LT(proxy.RssKb(), idle_kb + 48 * 1024) << "resident memory once the pages are done";
}

// Each connection takes two descriptors: the default connection limit fits the
// open-file limit, raised as far as allowed, and a proxy out of descriptors
// answers 503, never 502.
TEST_F(HostileTest, ConnectionsFitTheDescriptorLimit) {
  const std::string prlimit = FindProgram("prlimit");
  if (prlimit.empty()) GTEST_SKIP() << "prlimit is not installed";
  {
    ProxyProcess raised(home_.path(), {}, "proxy", {prlimit, "--nofile=256:4096"});
    const std::string limits = ReadFile("/proc/" + std::to_string(raised.pid()) + "/limits");
    EXPECT_NE(limits.find("Max open files            4096                 4096"), std::string::npos)
        << limits;
  }
  std::atomic<bool> released{false};
  Origin holding([&](OriginConnection& c) {
    std::string head;
    if (!c.ReadRequest(&head)) return;
    for (int i = 0; i < 500 && !released; ++i) usleep(20000);
    c.Send(Ok("text/plain", "held"));
  });
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{}, std::vector<std::string>{"--max-connections", "100"}}) {
    released = false;
    ProxyProcess proxy(home_.path(), args, "proxy", {prlimit, "--nofile=64:64"});
    std::vector<int> fds;
    for (int i = 0; i < 40; ++i) {
      fds.push_back(Dial(proxy.port()));
      SendAll(fds.back(), "GET " + holding.Url("/") + " HTTP/1.1\r\nConnection: close\r\n\r\n");
    }
    usleep(1000000);
    released = true;
    int ok = 0, busy = 0;
    for (int fd : fds) {
      const Response r = ReadResponse(fd);
      close(fd);
      ok += r.status == 200 && r.body == "held";
      busy += r.status == 503;
      EXPECT_TRUE(r.status == 200 || r.status == 503) << r.status << " " << r.body;
    }
    EXPECT_GT(ok, 8) << (args.empty() ? "default" : "100");
    EXPECT_GT(busy, 0) << (args.empty() ? "default" : "100");
  }
}

}  // namespace
}  // namespace velquor::test
