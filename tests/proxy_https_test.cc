// `velquor proxy --inspect-https` end to end: HTTPS origins on loopback whose
// certificates come from a CA made here, fetched with curl (and Chromium)
// trusting the proxy's own CA.
#include <gtest/gtest.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>

#include "e2e_util.h"
#include "proxy_util.h"
#include "tls_util.h"

namespace velquor::test {
namespace {

struct Fetched {
  int exit = -1;   // curl's exit status: 60 when it does not trust the certificate
  int status = 0;  // HTTP status of the last response
  std::string body;
  std::string version;  // of the last response: "1.1"
  std::string err;
};

class HttpsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (FindProgram("curl").empty()) GTEST_SKIP() << "curl is not installed";
    WriteFile(test_ca_file_, test_ca_.cert);
  }

  std::string CaFile() const { return home_.path() + "/velquor-ca.pem"; }

  // curl through the proxy trusting `cacert` (by default the proxy's CA).
  Fetched Curl(int proxy, const std::vector<std::string>& urls, std::string cacert = "") {
    std::vector<std::string> args = {"-sS",
                                     "--noproxy",
                                     "",
                                     "-x",
                                     "http://127.0.0.1:" + std::to_string(proxy),
                                     "--cacert",
                                     cacert.empty() ? CaFile() : cacert,
                                     "-w",
                                     "\n@@%{http_code} %{http_version}",
                                     "--max-time",
                                     "20"};
    args.insert(args.end(), urls.begin(), urls.end());
    const RunResult r = RunProgram(FindProgram("curl"), args);
    Fetched f;
    f.exit = r.status;
    f.err = r.err;
    const std::size_t at = r.out.rfind("\n@@");
    f.body = r.out.substr(0, at);
    if (at != std::string::npos) {
      f.status = std::atoi(r.out.c_str() + at + 3);
      f.version = r.out.substr(r.out.find(' ', at) + 1);
    }
    return f;
  }

  // An HTTPS origin presenting `pem` that serves the portal page and a
  // text file.
  std::unique_ptr<Origin> ServePages(const Pem& pem) {
    contexts_.emplace_back(ServerContext(pem), SSL_CTX_free);
    const std::string page = page_;
    return std::make_unique<Origin>(
        [page](OriginConnection& c) {
          std::string head;
          while (c.ReadRequest(&head)) {
            const bool is_page = head.rfind("GET /portal.html ", 0) == 0;
            if (!c.Send(is_page ? Ok("text/html", page) : Ok("text/plain", "just text"))) return;
          }
        },
        contexts_.back().get());
  }

  std::string Stats() { return RunVelquor(home_.path(), {"stats"}).out; }

  TempDir home_;
  const std::string page_ = ReadFile(SourceDir() + "/examples/portal.html");
  const Pem test_ca_ = MakeTestCa("Velquor test origin CA");
  const std::string test_ca_file_ = home_.path() + "/test-ca.pem";
  const Pem good_ = IssueCert(&test_ca_, {"localhost", "127.0.0.1"}, -1, 7);
  std::vector<std::unique_ptr<SSL_CTX, void (*)(SSL_CTX*)>> contexts_;
};

bool Filtered(const std::string& body) {
  return body.find("Today's Headlines") != std::string::npos &&
         body.find("ads.megaclick") == std::string::npos &&
         body.find("removed 8 ads from this page") != std::string::npos;
}

bool Unfiltered(const std::string& body) {
  return body.find("ads.megaclick") != std::string::npos &&
         body.find("removed 8 ads") == std::string::npos;
}

// A CONNECT through the proxy; the socket once the proxy said yes, or -1.
int OpenTunnel(int proxy, int port) {
  const int fd = Dial(proxy);
  const std::string target = "127.0.0.1:" + std::to_string(port);
  SendAll(fd, "CONNECT " + target + " HTTP/1.1\r\nHost: " + target + "\r\n\r\n");
  std::string head;
  char c;
  while (head.find("\r\n\r\n") == std::string::npos && read(fd, &c, 1) == 1) head += c;
  if (head.rfind("HTTP/1.1 200", 0) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// True when the proxy closes `fd` within `seconds`, reading what comes.
bool ClosedWithin(int fd, int seconds) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  char buf[4096];
  while (std::chrono::steady_clock::now() < deadline) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 100) == 1 && read(fd, buf, sizeof buf) <= 0) return true;
  }
  return false;
}

TEST_F(HttpsTest, CaIsMadeOnceWithAnOwnerOnlyKeyAndRenewedOnRequest) {
  // Even with a permissive umask the key never exists readable by others.
  const mode_t old_umask = umask(0);
  const RunResult made = RunVelquor(home_.path(), {"proxy", "ca"});
  umask(old_umask);
  ASSERT_EQ(made.status, 0) << made.err;
  EXPECT_EQ(made.out.substr(0, made.out.find('\n')), CaFile());
  EXPECT_NE(made.out.find("certutil -d sql:$HOME/.pki/nssdb -A -t C,, -n velquor -i " + CaFile()),
            std::string::npos);
  EXPECT_NE(made.out.find("update-ca-certificates"), std::string::npos);
  const std::string key = home_.path() + "/velquor-ca.key";
  struct stat st {};
  ASSERT_EQ(stat(key.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);

  const std::string first = ReadFile(CaFile());
  ASSERT_EQ(RunVelquor(home_.path(), {"proxy", "ca"}).status, 0);
  EXPECT_EQ(ReadFile(CaFile()), first);  // kept, not made again

  const RunResult renewed = RunVelquor(home_.path(), {"proxy", "ca", "--renew"});
  ASSERT_EQ(renewed.status, 0) << renewed.err;
  EXPECT_NE(ReadFile(CaFile()), first);
  ASSERT_EQ(stat(key.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_NE(stat((key + ".new").c_str(), &st), 0);

  EXPECT_EQ(RunVelquor(home_.path(), {"proxy", "ca", "--frob"}).status, 1);
  const RunResult no_extra =
      RunVelquor(home_.path(), {"proxy", "--inspect-https", "--library", VELQUOR_LIB, "--listen",
                                "127.0.0.1:0", "--extra-ca", key});  // a key, no certificate
  EXPECT_EQ(no_extra.status, 2);
  EXPECT_NE(no_extra.err.find("--extra-ca " + key + ": no PEM certificate"), std::string::npos)
      << no_extra.err;
  WriteFile(key, "not a key");
  const RunResult broken = RunVelquor(home_.path(), {"proxy", "ca"});
  EXPECT_EQ(broken.status, 2);
  EXPECT_NE(broken.err.find(key), std::string::npos) << broken.err;
  EXPECT_NE(broken.err.find("--renew"), std::string::npos) << broken.err;
}

TEST_F(HttpsTest, InspectedPagesAreFilteredOverVerifiedTls) {
  auto origin = ServePages(good_);
  ProxyProcess proxy(home_.path(), {"--inspect-https", "--extra-ca", test_ca_file_});
  // Two requests on one connection; the browser's offer of HTTP/2 is
  // answered with HTTP/1.1.
  const Fetched f = Curl(
      proxy.port(), {"--http2", origin->HttpsUrl("/portal.html"), origin->HttpsUrl("/data.txt")});
  EXPECT_EQ(f.exit, 0) << f.err;
  EXPECT_TRUE(Filtered(f.body)) << f.body.substr(0, 2000);
  EXPECT_NE(f.body.find("just text"), std::string::npos);
  EXPECT_EQ(f.status, 200);
  EXPECT_EQ(f.version, "1.1");
  EXPECT_EQ(origin->connections(), 1);
  EXPECT_EQ(Stats(), "Pages: 1\nKilled: 8\n");
  // The browser sees the proxy's certificate, not the origin's.
  EXPECT_EQ(Curl(proxy.port(), {origin->HttpsUrl("/portal.html")}, test_ca_file_).exit, 60);
}

TEST_F(HttpsTest, OriginsFailingTheCheckGetAnErrorPageNeverAConnection) {
  auto expired = ServePages(IssueCert(&test_ca_, {"localhost"}, -3, -1));
  auto self_signed = ServePages(IssueCert(nullptr, {"localhost"}, -1, 7));
  auto wrong_host = ServePages(IssueCert(&test_ca_, {"other.example"}, -1, 7));
  auto name_in_subject_only = ServePages(IssueCert(&test_ca_, {"localhost"}, -1, 7, false));
  // A plain HTTP server answers a ClientHello as a malformed request.
  Origin plain([](OriginConnection& c) {
    pollfd p{c.fd(), POLLIN, 0};
    poll(&p, 1, 5000);
    c.Send("HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
  });
  Origin silent([](OriginConnection& c) {
    std::string head;
    c.ReadRequest(&head);  // a ClientHello never makes a request
  });
  auto good = ServePages(good_);
  ProxyProcess proxy(home_.path(),
                     {"--inspect-https", "--extra-ca", test_ca_file_, "--handshake-timeout", "1"});
  const struct {
    int port;
    int status;
    const char* reason;
  } cases[] = {
      {expired->port(), 502, "certificate has expired"},
      {self_signed->port(), 502, "self-signed certificate"},
      {wrong_host->port(), 502, "hostname mismatch"},
      {name_in_subject_only->port(), 502, "hostname mismatch"},
      {plain.port(), 502, "does not answer TLS"},
      {silent.port(), 504, "no TLS handshake within 1 s"},
  };
  for (const auto& c : cases) {
    const std::string where = "localhost:" + std::to_string(c.port);
    const Fetched f = Curl(proxy.port(), {"https://" + where + "/portal.html"});
    EXPECT_EQ(f.exit, 0) << where << " " << f.err;
    EXPECT_EQ(f.status, c.status) << where;
    EXPECT_NE(f.body.find(where), std::string::npos) << f.body;
    EXPECT_NE(f.body.find(c.reason), std::string::npos) << f.body;
    EXPECT_EQ(f.body.find("Today's Headlines"), std::string::npos);
  }
  EXPECT_TRUE(Filtered(Curl(proxy.port(), {good->HttpsUrl("/portal.html")}).body));
}

TEST_F(HttpsTest, ExemptedListedAndUninspectedHostsAreTunnelledWithTheOriginsCertificate) {
  auto origin = ServePages(good_);
  const std::string url = origin->HttpsUrl("/portal.html");
  {
    ProxyProcess off(home_.path(), {"--extra-ca", test_ca_file_});  // inspection is opt-in
    EXPECT_TRUE(Unfiltered(Curl(off.port(), {url}, test_ca_file_).body));
  }
  ProxyProcess proxy(home_.path(), {"--inspect-https", "--extra-ca", test_ca_file_});
  for (const std::vector<std::string>& list :
       {std::vector<std::string>{"exempt"}, std::vector<std::string>{"exempt", "--tunnel"}}) {
    std::vector<std::string> add = list, remove = list;
    add.insert(add.end(), {"add", "localhost"});
    remove.insert(remove.end(), {"remove", "localhost"});
    ASSERT_EQ(RunVelquor(home_.path(), add).status, 0);
    const Fetched f = Curl(proxy.port(), {url}, test_ca_file_);
    EXPECT_EQ(f.exit, 0) << list.back() << " " << f.err;
    EXPECT_TRUE(Unfiltered(f.body)) << list.back();
    ASSERT_EQ(RunVelquor(home_.path(), remove).status, 0);
    EXPECT_EQ(Curl(proxy.port(), {url}, test_ca_file_).exit, 60) << list.back();
  }
  EXPECT_EQ(Stats(), "Pages: 0\nKilled: 0\n");

  // The setting turns inspection on as the option does.
  ASSERT_EQ(RunVelquor(home_.path(), {"config", "set", "InspectHttps", "1"}).status, 0);
  ProxyProcess by_setting(home_.path(), {"--extra-ca", test_ca_file_});
  EXPECT_TRUE(Filtered(Curl(by_setting.port(), {url}).body));
}

TEST_F(HttpsTest, TunnelsThatAreNotTlsAndBrokenHandshakesHarmNoOne) {
  Origin plain(Always(Ok("text/html", page_)));
  auto origin = ServePages(good_);
  ProxyProcess proxy(home_.path(),
                     {"--inspect-https", "--extra-ca", test_ca_file_, "--handshake-timeout", "1"});
  // Plain HTTP inside a tunnel passes unfiltered.
  const int fd = OpenTunnel(proxy.port(), plain.port());
  ASSERT_GE(fd, 0);
  SendAll(fd, "GET /portal.html HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
  EXPECT_TRUE(Unfiltered(ReadResponse(fd).body));
  close(fd);

  // A handshake record of nonsense, and one that stops halfway.
  const int garbled = OpenTunnel(proxy.port(), origin->port());
  const int stalled = OpenTunnel(proxy.port(), origin->port());
  ASSERT_GE(garbled, 0);
  ASSERT_GE(stalled, 0);
  SendAll(garbled, std::string("\x16\x03\x01\x00\x08", 5) + "nonsense");
  SendAll(stalled, "\x16\x03\x01");
  EXPECT_TRUE(Filtered(Curl(proxy.port(), {origin->HttpsUrl("/portal.html")}).body));
  EXPECT_TRUE(ClosedWithin(garbled, 5));
  EXPECT_TRUE(ClosedWithin(stalled, 5));
  close(garbled);
  close(stalled);
  // The proxy closes a stalled handshake a moment before it says so.
  for (int i = 0; i < 100 && proxy.Log().find("no TLS handshake within 1 s") == std::string::npos;
       ++i) {
    usleep(20000);
  }
  EXPECT_NE(proxy.Log().find("no TLS handshake within 1 s"), std::string::npos) << proxy.Log();
  EXPECT_NE(proxy.Log().find("velquor exempt add --tunnel 127.0.0.1"), std::string::npos);
  EXPECT_EQ(proxy.Stop(SIGTERM), 0);
}

// Bytes that come in the same write as the CONNECT belong to the stream
// after it; a browser that refused the proxy's certificate and comes back is
// inspected every time.
TEST_F(HttpsTest, WhatComesWithTheConnectIsTheTunnelsFirstBytes) {
  auto origin = ServePages(good_);
  const std::string page = page_;
  Origin plain([page](OriginConnection& c) {
    std::string head;
    if (c.ReadRequest(&head)) c.Send(Ok("text/html", page));
  });
  ProxyProcess proxy(home_.path(),
                     {"--inspect-https", "--extra-ca", test_ca_file_, "--idle-timeout", "30"});
  const std::string get =
      "GET /portal.html HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\n\r\n";
  auto connect = [](int port) {
    return "CONNECT localhost:" + std::to_string(port) + " HTTP/1.1\r\n\r\n";
  };
  const auto start = std::chrono::steady_clock::now();
  int fd = Dial(proxy.port());
  EXPECT_TRUE(Filtered(TlsExchange(fd, CaFile(), "localhost", connect(origin->port()), get)));
  close(fd);
  fd = Dial(proxy.port());
  SendAll(fd, connect(plain.port()) + get);
  const Response tunnelled = ReadResponse(fd);  // to the end of the tunnel
  close(fd);
  EXPECT_TRUE(Unfiltered(tunnelled.body)) << tunnelled.body.substr(0, 300);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));

  for (int i = 0; i < 20; ++i) {
    fd = Dial(proxy.port());
    EXPECT_EQ(TlsExchange(fd, test_ca_file_, "localhost", connect(origin->port()), get), "");
    close(fd);
    fd = OpenTunnel(proxy.port(), origin->port());
    EXPECT_TRUE(Filtered(TlsExchange(fd, CaFile(), "localhost", "", get))) << i;
    close(fd);
  }
}

TEST_F(HttpsTest, HeadlessChromiumTrustingTheCaSeesTheHttpsPageWithoutAds) {
  const std::string chromium = FindProgram("chromium");
  const std::string certutil = FindProgram("certutil");
  if (chromium.empty() || certutil.empty()) GTEST_SKIP() << "chromium or certutil is missing";
  auto origin = ServePages(good_);
  ProxyProcess proxy(home_.path(), {"--inspect-https", "--extra-ca", test_ca_file_});
  TempDir browser_home;
  const std::string nssdb = "sql:" + browser_home.path() + "/.pki/nssdb";
  RunProgram("/bin/mkdir", {"-p", browser_home.path() + "/.pki/nssdb"});
  ASSERT_EQ(RunProgram(certutil, {"-d", nssdb, "-N", "--empty-password"}).status, 0);
  const RunResult trust =
      RunProgram(certutil, {"-d", nssdb, "-A", "-t", "C,,", "-n", "velquor", "-i", CaFile()});
  ASSERT_EQ(trust.status, 0) << trust.err;
  const RunResult dom = RunProgram(
      chromium,
      {"--headless", "--no-sandbox", "--disable-gpu", "--no-first-run",
       "--disable-background-networking", "--disable-component-update", "--disable-sync",
       "--user-data-dir=" + browser_home.path() + "/chromium",
       "--proxy-server=http://127.0.0.1:" + std::to_string(proxy.port()),
       "--proxy-bypass-list=<-loopback>", "--dump-dom", origin->HttpsUrl("/portal.html")},
      {"HOME=" + browser_home.path()});
  EXPECT_TRUE(Filtered(dom.out)) << dom.out.substr(0, 500) << dom.err.substr(0, 2000);
  EXPECT_EQ(proxy.Log().find("handshake failed"), std::string::npos) << proxy.Log();
}

}  // namespace
}  // namespace velquor::test
