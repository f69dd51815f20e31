#include "e2e_util.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

extern char** environ;

namespace velquor::test {

TempDir::TempDir() {
  const char* base = std::getenv("TMPDIR");
  std::string tmpl = std::string(base && *base ? base : "/tmp") + "/velquor-test-XXXXXX";
  std::vector<char> buf(tmpl.begin(), tmpl.end());
  buf.push_back('\0');
  if (!mkdtemp(buf.data())) throw std::runtime_error("mkdtemp failed");
  path_ = buf.data();
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                               std::filesystem::perm_options::add, ec);
  std::filesystem::remove_all(path_, ec);
}

std::string TempDir::File(const std::string& name) const { return path_ + "/" + name; }

namespace {

// The environment of the test with the NAME=VALUE entries of `env` in place
// of those of the same names.
std::vector<std::string> EnvironmentWith(const std::vector<std::string>& env) {
  std::vector<std::string> envs;
  for (char** e = environ; *e; ++e) {
    std::string entry = *e;
    std::string name = entry.substr(0, entry.find('='));
    bool overridden = false;
    for (const std::string& o : env)
      if (o.substr(0, o.find('=')) == name) overridden = true;
    if (!overridden) envs.push_back(entry);
  }
  for (const std::string& o : env) envs.push_back(o);
  return envs;
}

// Null-terminated pointer arrays over `program args...` and `envs`, valid
// while those live.
std::vector<char*> ArgvOf(const std::string& program, const std::vector<std::string>& args) {
  std::vector<char*> argv{const_cast<char*>(program.c_str())};
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  return argv;
}
std::vector<char*> EnvpOf(std::vector<std::string>& envs) {
  std::vector<char*> envp;
  for (std::string& e : envs) envp.push_back(e.data());
  envp.push_back(nullptr);
  return envp;
}

}  // namespace

int SpawnWithProfile(const std::string& program, const std::vector<std::string>& args,
                     const std::string& home, int* out_fd) {
  std::vector<std::string> envs = EnvironmentWith({"VELQUOR_HOME=" + home});
  std::vector<char*> argv = ArgvOf(program, args);
  std::vector<char*> envp = EnvpOf(envs);
  int fds[2] = {-1, -1};
  if (out_fd != nullptr && pipe2(fds, O_CLOEXEC) != 0) {
    ADD_FAILURE() << "pipe: " << std::strerror(errno);
    return -1;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (out_fd != nullptr) posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
  pid_t pid = -1;
  const int rc = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (out_fd != nullptr) {
    close(fds[1]);
    *out_fd = fds[0];
  }
  if (rc != 0) {
    ADD_FAILURE() << "cannot start " << program << ": " << std::strerror(rc);
    return -1;
  }
  return pid;
}

int WaitForChild(int pid) {
  int status = 0;
  pid_t got;
  while ((got = waitpid(pid, &status, 0)) < 0 && errno == EINTR) {
  }
  if (got != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

RunResult RunProgram(const std::string& program, const std::vector<std::string>& args,
                     const std::vector<std::string>& env, const std::string& input) {
  std::vector<std::string> envs = EnvironmentWith(env);
  std::vector<char*> argv = ArgvOf(program, args);
  std::vector<char*> envp = EnvpOf(envs);

  int in[2], out[2], err[2];
  if (pipe2(in, O_CLOEXEC) || pipe2(out, O_CLOEXEC) || pipe2(err, O_CLOEXEC))
    throw std::runtime_error("pipe failed");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_adddup2(&actions, err[1], 2);
  pid_t pid;
  int rc = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  close(in[0]);
  close(out[1]);
  close(err[1]);
  if (rc != 0) {
    close(in[1]);
    close(out[0]);
    close(err[0]);
    throw std::runtime_error("cannot start " + program + ": " + std::strerror(rc));
  }

  RunResult result;
  size_t written = 0;
  if (input.empty()) {
    close(in[1]);
    in[1] = -1;
  } else {
    fcntl(in[1], F_SETFL, O_NONBLOCK);
  }
  bool out_open = true, err_open = true;
  while (out_open || err_open) {
    pollfd fds[3];
    int n = 0;
    if (out_open) fds[n++] = {out[0], POLLIN, 0};
    if (err_open) fds[n++] = {err[0], POLLIN, 0};
    if (in[1] >= 0) fds[n++] = {in[1], POLLOUT, 0};
    if (poll(fds, n, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    for (int i = 0; i < n; ++i) {
      if (!fds[i].revents) continue;
      if (fds[i].fd == in[1]) {
        ssize_t w = write(in[1], input.data() + written, input.size() - written);
        if (w > 0) written += static_cast<size_t>(w);
        if (w < 0 || written == input.size()) {
          close(in[1]);
          in[1] = -1;
        }
        continue;
      }
      char buf[65536];
      ssize_t r = read(fds[i].fd, buf, sizeof buf);
      std::string& sink = fds[i].fd == out[0] ? result.out : result.err;
      if (r > 0) {
        sink.append(buf, static_cast<size_t>(r));
      } else {
        if (fds[i].fd == out[0])
          out_open = false;
        else
          err_open = false;
      }
    }
  }
  if (in[1] >= 0) close(in[1]);
  close(out[0]);
  close(err[0]);
  result.status = WaitForChild(pid);
  return result;
}

RunResult RunVelquor(const std::string& home, const std::vector<std::string>& args,
                     const std::string& input, const std::vector<std::string>& env) {
  std::vector<std::string> all_env{"VELQUOR_HOME=" + home};
  all_env.insert(all_env.end(), env.begin(), env.end());
  return RunProgram(VelquorBinary(), args, all_env, input);
}

std::string ReadFile(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::ostringstream s;
  s << f.rdbuf();
  return s.str();
}

void WriteFile(const std::string& path, const std::string& data) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f.write(data.data(), static_cast<std::streamsize>(data.size()));
}

std::string VelquorBinary() { return VELQUOR_BIN; }
std::string SourceDir() { return VELQUOR_SOURCE_DIR; }

std::string FindProgram(const std::string& name) {
  // Servers such as nginx live in sbin, which a user's PATH may lack.
  std::string path = RunProgram("/bin/sh", {"-c", "command -v " + name +
                                                      " || PATH=\"$PATH:/usr/local/sbin:/usr/sbin\""
                                                      " command -v " +
                                                      name})
                         .out;
  if (!path.empty() && path.back() == '\n') path.pop_back();
  return path;
}

}  // namespace velquor::test
