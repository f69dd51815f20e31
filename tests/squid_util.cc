#include "squid_util.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>

#include "proxy_util.h"

extern char** environ;

namespace velquor::test {
namespace {

void AddServices(std::string* conf, const char* point, const char* name,
                 const std::vector<std::string>& uris, bool bypass) {
  std::string set;
  for (std::size_t i = 0; i < uris.size(); ++i) {
    const std::string id = std::string(name) + std::to_string(i);
    *conf += "icap_service " + id + " " + point + (bypass ? " bypass=on " : " bypass=off ") +
             uris[i] + "\n";
    set += " " + id;
  }
  if (uris.size() > 1) {
    *conf += "adaptation_service_set " + std::string(name) + "_set" + set + "\n";
    *conf += "adaptation_access " + std::string(name) + "_set allow all\n";
  } else if (!uris.empty()) {
    *conf += "adaptation_access " + std::string(name) + "0 allow all\n";
  }
}

}  // namespace

int FreePort() {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  socklen_t len = sizeof a;
  getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  close(fd);
  return ntohs(a.sin_port);
}

std::string FindSquid() {
  std::string path =
      RunProgram("/bin/sh", {"-c", "PATH=$PATH:/usr/sbin:/usr/local/sbin command -v squid"}).out;
  if (!path.empty() && path.back() == '\n') path.pop_back();
  return path;
}

Squid::Squid(const std::string& program, const std::vector<std::string>& respmod,
             const std::vector<std::string>& reqmod, bool bypass) {
  port_ = FreePort();
  // Run as root, Squid drops to its own user, which must write here.
  chmod(dir_.path().c_str(), 0777);
  std::string conf = "http_port 127.0.0.1:" + std::to_string(port_) +
                     "\nvisible_hostname velquor-test\npid_filename " + dir_.File("squid.pid") +
                     "\ncache_log " + dir_.File("cache.log") + "\naccess_log " +
                     dir_.File("access.log") + "\ncache_store_log none\ncoredump_dir " +
                     dir_.path() +
                     "\ncache deny all\ncache_mem 8 MB\nhttp_access allow all\n"
                     "pinger_enable off\nnetdb_filename none\nshutdown_lifetime 0 seconds\n"
                     "max_filedescriptors 4096\n";
  if (!respmod.empty() || !reqmod.empty()) {
    conf +=
        "icap_enable on\nicap_preview_enable on\n"
        "icap_service_failure_limit 1\nicap_service_revival_delay 60\n";
  }
  if (geteuid() == 0) conf += "cache_effective_user proxy\n";
  AddServices(&conf, "respmod_precache", "resp", respmod, bypass);
  AddServices(&conf, "reqmod_precache", "req", reqmod, bypass);
  WriteFile(dir_.File("squid.conf"), conf);
  std::vector<std::string> args = {program, "-N", "-f", dir_.File("squid.conf")};
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, dir_.File("squid.out").c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (std::chrono::steady_clock::now() < deadline) {
    const int fd = Dial(port_);
    if (fd >= 0) {
      close(fd);
      return;
    }
    usleep(50000);
  }
  const std::string log = Log();
  kill(pid_, SIGKILL);
  waitpid(pid_, nullptr, 0);
  throw std::runtime_error("squid did not start:\n" + log);
}

Squid::~Squid() {
  if (pid_ <= 0) return;
  kill(pid_, SIGTERM);
  for (int i = 0; i < 100 && waitpid(pid_, nullptr, WNOHANG) == 0; ++i) usleep(50000);
  kill(pid_, SIGKILL);
  waitpid(pid_, nullptr, 0);
}

std::string Squid::Log() const {
  return ReadFile(dir_.File("squid.out")) + ReadFile(dir_.File("cache.log"));
}

}  // namespace velquor::test
