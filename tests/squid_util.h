// A real Squid for the ICAP service's tests and benchmark: `squid -N` on a
// free loopback port, its configuration, pid, logs and cache in a temporary
// folder of its own, stopped when the object goes. Squid lives in sbin, which
// a normal user's PATH may lack; run as root, it drops to the user "proxy".
#ifndef VELQUOR_TESTS_SQUID_UTIL_H_
#define VELQUOR_TESTS_SQUID_UTIL_H_

#include <sys/types.h>

#include <string>
#include <vector>

#include "e2e_util.h"

namespace velquor::test {

// A loopback port free a moment ago.
int FreePort();

// The installed squid; "" when there is none.
std::string FindSquid();

class Squid {
 public:
  // Sends responses to the ICAP URIs `respmod` and requests to `reqmod`
  // (several form one failover set; none: Squid alone). `bypass`: a failed
  // service lets the message through unadapted instead of an error page.
  // Throws std::runtime_error with Squid's log when it does not start.
  Squid(const std::string& program, const std::vector<std::string>& respmod,
        const std::vector<std::string>& reqmod, bool bypass = false);
  ~Squid();
  Squid(const Squid&) = delete;
  Squid& operator=(const Squid&) = delete;
  int port() const { return port_; }
  pid_t pid() const { return pid_; }
  // Squid's output and cache.log, to show on a failure.
  std::string Log() const;

 private:
  TempDir dir_;
  int port_ = 0;
  pid_t pid_ = -1;
};

}  // namespace velquor::test

#endif  // VELQUOR_TESTS_SQUID_UTIL_H_
