// The ICAP service's request blocking, served in this process: a request
// the filter lists block is answered with the filtering proxy's response
// encapsulated, any other with 204. (The rest of the service is tested end
// to end in tests/.)
#include "icap/icap_server.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "platform/testing_profile.h"

namespace velquor::host {
namespace {

std::string Exchange(uint16_t port, const std::string& request) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(port);
  const timeval tv{10, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  std::string got;
  if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
      send(fd, request.data(), request.size(), MSG_NOSIGNAL) == ssize_t(request.size())) {
    shutdown(fd, SHUT_WR);
    char buf[4096];
    for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;) got.append(buf, n);
  }
  close(fd);
  return got;
}

TEST(IcapServer, RequestsTheListsBlockGetTheProxysAnswerAndAListChangeMovesTheIsTag) {
  TempProfile profile;
  ASSERT_TRUE(profile.Create());
  const std::string lists = profile.dir + "/lists";
  std::filesystem::create_directories(lists);
  std::ofstream(lists + "/ads.txt") << "||ads.example^\n/banner/*$image\n";
  IcapOptions options;
  options.port = 0;
  options.threads = 1;
  options.lists_dir = lists;
  IcapServer server(options, nullptr);  // REQMOD never makes a filter object
  std::string error;
  ASSERT_TRUE(server.Listen(&error)) << error;
  std::thread serving([&] { server.Run(); });
  auto reqmod = [&](const std::string& head) {
    return Exchange(server.port(),
                    "REQMOD icap://127.0.0.1/reqmod ICAP/1.0\r\nAllow: 204\r\n"
                    "Encapsulated: req-hdr=0, null-body=" +
                        std::to_string(head.size()) + "\r\n\r\n" + head);
  };
  auto is_tag = [&] {
    const std::string got =
        Exchange(server.port(), "OPTIONS icap://127.0.0.1/reqmod ICAP/1.0\r\n\r\n");
    const std::size_t at = got.find("ISTag: ");
    return at == std::string::npos ? got : got.substr(at, got.find('\r', at) - at);
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
  // A list changed while the service runs: new answers and a new ISTag.
  const std::string before = is_tag();
  std::ofstream(lists + "/ads.txt") << "||news.example^\n";
  std::string after = before;
  for (int i = 0; i < 50 && after == before; ++i) {
    usleep(100000);
    after = is_tag();
  }
  EXPECT_NE(after, before);
  EXPECT_EQ(reqmod(cases[3].head).rfind("ICAP/1.0 200 OK\r\n", 0), 0u);
  raise(SIGTERM);  // the server's own stop
  serving.join();
  profile.Remove();
}

}  // namespace
}  // namespace velquor::host
