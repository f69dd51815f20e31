#include "proxy/library_reloader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/files.h"
#include "rules/user_rules.h"
#include "rules_file.h"
#include "settings/store.h"

namespace velquor::host {
namespace {

// Copies the file at `from` to a new private file; its path, or "" with
// *error.
std::string CopyToTemporary(const std::string& from, std::string* error) {
  const char* tmp = std::getenv("TMPDIR");
  std::string path =
      std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/velquor-filter-XXXXXX";
  const int in = open(from.c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) {
    *error = "cannot read " + from + ": " + std::strerror(errno);
    return "";
  }
  const int out = mkostemp(path.data(), O_CLOEXEC);
  if (out < 0) {
    *error =
        "cannot make a file in " + path.substr(0, path.rfind('/')) + ": " + std::strerror(errno);
    close(in);
    return "";
  }
  char buffer[65536];
  bool ok = true;
  for (;;) {
    const ssize_t n = read(in, buffer, sizeof buffer);
    if (n == 0) break;
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 || write(out, buffer, static_cast<size_t>(n)) != n) {
      *error = "cannot copy " + from + " to " + path + ": " + std::strerror(errno);
      ok = false;
      break;
    }
  }
  close(in);
  if (close(out) != 0 && ok) {
    *error = "cannot write " + path + ": " + std::strerror(errno);
    ok = false;
  }
  if (!ok) {
    unlink(path.c_str());
    return "";
  }
  return path;
}

}  // namespace

RulesFingerprint TakeRulesFingerprint() {
  RulesFingerprint print;
  print.path = RulesPathForInstallDir(ReadTextSetting(kInstallDir, ""));
  if (print.path.empty()) return print;
  HANDLE file = CreateFileA(print.path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                            nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return print;
  DWORD high = 0;
  const DWORD low = GetFileSize(file, &high);
  FILETIME written{};
  print.readable = GetFileTime(file, nullptr, nullptr, &written) != 0;
  CloseHandle(file);
  print.size = (static_cast<uint64_t>(high) << 32) | low;
  print.write_time = (static_cast<uint64_t>(written.dwHighDateTime) << 32) | written.dwLowDateTime;
  return print;
}

std::unique_ptr<ReloadingLibrary> ReloadingLibrary::Open(const LibraryChoice& choice,
                                                         std::string* error, const char* who) {
  std::unique_ptr<ReloadingLibrary> self(new ReloadingLibrary(choice, who));
  // Taken before the load, so that a change made while the library starts
  // is seen at the first check.
  self->fingerprint_ = TakeRulesFingerprint();
  self->next_check_ = std::chrono::steady_clock::now() + kCheckInterval;
  auto load = std::make_unique<Load>();
  load->library = LoadedLibrary::Open(choice.path, error);
  if (!load->library) return nullptr;
  if (HRESULT hr = load->library->GetClassFactory(choice.clsid, &load->factory); FAILED(hr)) {
    *error = choice.path + ": no class object for the filter class (" + FormatResult(hr) + ")";
    return nullptr;
  }
  self->current_ = std::move(load);
  return self;
}

ReloadingLibrary::~ReloadingLibrary() {
  // The loads themselves stay until the process ends unless their library
  // allows the unload (LoadedLibrary's destructor asks).
  if (current_) current_->factory->Release();
}

HRESULT ReloadingLibrary::QueryInterface(REFIID riid, void** ppv) {
  if (ppv == nullptr) return E_POINTER;
  *ppv = nullptr;
  if (riid == IID_IUnknown || riid == IID_IClassFactory) {
    *ppv = static_cast<IClassFactory*>(this);
    return S_OK;
  }
  return E_NOINTERFACE;
}

HRESULT ReloadingLibrary::CreateInstance(IUnknown* outer, REFIID riid, void** ppv) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (std::chrono::steady_clock::now() >= next_check_) CheckLocked();
  // Made under the lock: no check may unload this load meanwhile.
  return current_->factory->CreateInstance(outer, riid, ppv);
}

HRESULT ReloadingLibrary::LockServer(BOOL lock) {
  std::lock_guard<std::mutex> guard(mutex_);
  return current_->factory->LockServer(lock);
}

bool ReloadingLibrary::CheckNow() {
  std::lock_guard<std::mutex> lock(mutex_);
  return CheckLocked();
}

std::unique_ptr<ReloadingLibrary::Load> ReloadingLibrary::LoadCopy(std::string* error) {
  const std::string copy = CopyToTemporary(choice_.path, error);
  if (copy.empty()) return nullptr;
  auto load = std::make_unique<Load>();
  load->library = LoadedLibrary::Open(copy, error);
  // Loaded, the file is no longer needed; nothing else may use it.
  unlink(copy.c_str());
  if (!load->library) return nullptr;
  if (HRESULT hr = load->library->GetClassFactory(choice_.clsid, &load->factory); FAILED(hr)) {
    *error = "no class object for the filter class (" + FormatResult(hr) + ")";
    return nullptr;
  }
  return load;
}

bool ReloadingLibrary::CheckLocked() {
  next_check_ = std::chrono::steady_clock::now() + kCheckInterval;
  // A retired load goes once its library has allowed the unload twice, a
  // check apart: a filter object's last Release may still be returning
  // through the library's code when the count it drops first reaches zero.
  for (auto it = retired_.begin(); it != retired_.end();) {
    if ((*it)->library->CanUnloadNow() != S_OK) {
      (*it)->unload_allowed_once = false;
      ++it;
    } else if (!(*it)->unload_allowed_once) {
      (*it)->unload_allowed_once = true;
      ++it;
    } else {
      it = retired_.erase(it);
    }
  }
  RulesFingerprint now = TakeRulesFingerprint();
  if (now == fingerprint_) return false;
  fingerprint_ = now;
  std::string error;
  std::unique_ptr<Load> load = LoadCopy(&error);
  if (!load) {
    std::fprintf(stderr,
                 "velquor: %s: the user rules changed, but the filter library cannot be "
                 "loaded again (%s): pages keep the rules they had\n",
                 who_, error.c_str());
    return false;
  }
  current_->factory->Release();
  retired_.push_back(std::move(current_));
  current_ = std::move(load);
  std::fprintf(stderr, "velquor: %s: user rules changed: %s; pages started from now use them\n",
               who_, DescribeUserRules().c_str());
  return true;
}

}  // namespace velquor::host
