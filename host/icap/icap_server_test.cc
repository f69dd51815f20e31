// The request-blocking seam of the ICAP service, served in this process: a
// blocked request is answered with the blocker's response encapsulated, any
// other with 204. (The rest of the service is tested end to end in tests/.)
#include "icap/icap_server.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

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

TEST(IcapServer, BlockedRequestsGetTheBlockersResponseAndOthersPass) {
  TempProfile profile;
  ASSERT_TRUE(profile.Create());
  IcapOptions options;
  options.port = 0;
  options.threads = 1;
  options.blocker = [](const HttpHead& request, std::string* response) {
    if (RequestHost(request) != "ads.example") return false;
    *response = "HTTP/1.1 403 Forbidden\r\nContent-Length: 7\r\n\r\nblocked";
    return true;
  };
  IcapServer server(options, nullptr);  // REQMOD never makes a filter object
  std::string error;
  ASSERT_TRUE(server.Listen(&error)) << error;
  std::thread serving([&] { server.Run(); });
  auto reqmod = [&](const std::string& host) {
    const std::string head = "GET http://" + host + "/ HTTP/1.1\r\n\r\n";
    return Exchange(server.port(),
                    "REQMOD icap://127.0.0.1/reqmod ICAP/1.0\r\nAllow: 204\r\n"
                    "Encapsulated: req-hdr=0, null-body=" +
                        std::to_string(head.size()) + "\r\n\r\n" + head);
  };
  const std::string blocked = reqmod("ads.example");
  EXPECT_EQ(blocked.rfind("ICAP/1.0 200 OK\r\n", 0), 0u) << blocked;
  const std::string http = "HTTP/1.1 403 Forbidden\r\nContent-Length: 7\r\n\r\n";
  EXPECT_NE(
      blocked.find("Encapsulated: res-hdr=0, res-body=" + std::to_string(http.size()) + "\r\n"),
      std::string::npos)
      << blocked;
  EXPECT_NE(blocked.find("\r\n\r\n" + http + "7\r\nblocked\r\n0\r\n\r\n"), std::string::npos);
  const std::string passed = reqmod("news.example");
  EXPECT_EQ(passed.rfind("ICAP/1.0 204 No Content\r\n", 0), 0u) << passed;
  raise(SIGTERM);  // the server's own stop
  serving.join();
  profile.Remove();
}

}  // namespace
}  // namespace velquor::host
