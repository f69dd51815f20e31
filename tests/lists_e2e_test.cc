// `velquor lists` as a user runs it: lists added from a file and from an
// HTTPS origin on loopback, a broken list refused, updates that are not
// modified, fail or bring no list (the old copy stays), and matching.
#include <openssl/ssl.h>

#include <atomic>
#include <memory>
#include <string>

#include "e2e_util.h"
#include "gtest/gtest.h"
#include "proxy_util.h"
#include "tls_util.h"

namespace velquor::test {
namespace {

TEST(ListsE2e, AddUpdateCheckAndMatch) {
  TempDir home;
  const Pem ca = MakeTestCa("Velquor test list CA");
  const std::string ca_file = home.File("ca.pem");
  WriteFile(ca_file, ca.cert);
  std::unique_ptr<SSL_CTX, void (*)(SSL_CTX*)> tls(
      ServerContext(IssueCert(&ca, {"localhost", "127.0.0.1"}, -1, 7)), SSL_CTX_free);
  // What the origin answers next: 0 the list with a validator, 1 "not
  // modified" when asked with it, 2 an error, 3 a cut-off body, 4 a web
  // page, 5 a new list.
  std::atomic<int> mode{0};
  std::atomic<int> conditional{0};
  const std::string v1 = "[Adblock Plus 2.0]\n||remote-one.example^\n";
  const std::string v2 = "[Adblock Plus 2.0]\n||remote-two.example^\n";
  Origin origin(
      [&](OriginConnection& c) {
        std::string head;
        if (!c.ReadRequest(&head)) return;
        if (head.find("If-None-Match: \"v1\"") != std::string::npos) ++conditional;
        switch (mode.load()) {
          case 0:
            c.Send(Ok("text/plain", v1, "ETag: \"v1\"\r\n"));
            break;
          case 1:
            c.Send("HTTP/1.1 304 Not Modified\r\nETag: \"v1\"\r\n\r\n");
            break;
          case 2:
            c.Send("HTTP/1.1 500 Broken\r\nContent-Length: 0\r\n\r\n");
            break;
          case 3:
            c.Send("HTTP/1.1 200 OK\r\nContent-Length: 5000\r\n\r\n||cut-off.example^\n");
            break;
          case 4:
            c.Send(Ok("text/html", "<!DOCTYPE html><html><body>Sign in</body></html>"));
            break;
          default:
            c.Send(Ok("text/plain", v2));
            break;
        }
      },
      tls.get());
  const std::string url = origin.HttpsUrl("/lists/remote.txt");
  const std::vector<std::string> trust = {"SSL_CERT_FILE=" + ca_file};
  auto run = [&](const std::vector<std::string>& args, const std::string& input = "") {
    return RunVelquor(home.path(), args, input, trust);
  };

  RunResult r = run({"lists", "add", SourceDir() + "/examples/filters.txt"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "added filters: 8 rules used, 2 skipped, 0 bad\n");

  // A broken list is refused and leaves nothing behind; check says why.
  const std::string broken = home.File("broken.txt");
  WriteFile(broken, "<html>\n##.a\n</html>\n");
  r = run({"lists", "add", broken});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("not a filter list: it is a web page"), std::string::npos) << r.err;
  WriteFile(broken, std::string("||ok.example^\n/a(b/\n##a{}\nx\0y\n", 30));
  r = run({"lists", "check", broken});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("line 2: bad, bad regular expression"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("line 4: bad, zero byte in the line: \"x\\x00y\""), std::string::npos)
      << r.out;

  // The origin's certificate must be trusted.
  r = RunVelquor(home.path(), {"lists", "add", url, "--name", "remote"}, "",
                 {"SSL_CERT_FILE=" + home.File("none.pem")});
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("certificate"), std::string::npos) << r.err;
  r = run({"lists", "add", url, "--name", "remote"});
  EXPECT_EQ(r.status, 0) << r.err;

  const std::string copy = home.File("lists/remote.txt");
  mode = 1;
  r = run({"lists", "update", "remote"});
  EXPECT_EQ(r.out, "remote: not modified\n");
  EXPECT_EQ(conditional.load(), 1);
  for (int failing : {2, 3, 4}) {
    mode = failing;
    r = run({"lists", "update", "remote"});
    EXPECT_EQ(r.status, 1) << failing;
    EXPECT_NE(r.err.find("stays"), std::string::npos) << r.err;
    EXPECT_EQ(ReadFile(copy), v1) << failing;
  }
  EXPECT_NE(r.err.find("it is a web page"), std::string::npos) << r.err;
  r = run({"lists", "match", "https://remote-one.example/a.js"});
  EXPECT_EQ(r.out, "block\t||remote-one.example^\n");

  mode = 5;
  r = run({"lists", "update"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(ReadFile(copy), v2);
  r = run({"lists", "match", "-"},
          "https://remote-one.example/a.js\t\tscript\n"
          "https://remote-two.example/a.js\thttps://news.example/\tscript\n"
          "https://ads.example/consent.js\thttps://news.example/\tscript\n"
          "https://news.example/banners/1.png\thttps://news.example/\timage\n");
  EXPECT_EQ(r.out,
            "none\n"
            "block\t||remote-two.example^\n"
            "allow\t@@||ads.example/consent.js$script\n"
            "block\t/banners/*$image\n");

  r = run({"lists", "list"});
  EXPECT_NE(r.out.find("filters\t"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("remote\t" + url + "\t1\t0\t"), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find("broken"), std::string::npos);
  EXPECT_EQ(run({"lists", "remove", "remote"}).status, 0);
  EXPECT_EQ(run({"lists", "remove", "remote"}).status, 1);
  r = run({"lists", "match", "--type", "script", "https://remote-two.example/a.js"});
  EXPECT_EQ(r.out, "none\n");
}

}  // namespace
}  // namespace velquor::test
