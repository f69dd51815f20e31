// The filter library as the proxy serves pages with it: loaded at start, and
// loaded afresh when the user rules file changes, so that pages started after
// a change are filtered with the new rules without a restart.
//
// The library reads its rules file once per load, at start-up, as it does in
// a browser, and nothing here changes that: a change is taken up by a new
// load. Loading the same file again would only hand back the load already in
// the process, so each new load is of a private copy of the library file
// (made in $TMPDIR and removed as soon as it is loaded). Pages under way keep
// the load they started with; an older load is unloaded once
// DllCanUnloadNow has allowed it at two checks in a row.
//
// The rules file (the "InstallDir" setting and the file's size and time of
// last change) is looked at when a page starts, at most once a second.
//
// Threading: CreateInstance may be called from any thread; the checks and
// the loads are serialised by one mutex.
#ifndef VELQUOR_HOST_PROXY_LIBRARY_RELOADER_H_
#define VELQUOR_HOST_PROXY_LIBRARY_RELOADER_H_

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "library_loader.h"
#include "velquor/velquor.h"

namespace velquor::host {

// What identifies one version of the rules file: its path (from the
// setting) and, when it can be opened, its size and time of last change.
struct RulesFingerprint {
  std::string path;
  bool readable = false;
  uint64_t size = 0;
  uint64_t write_time = 0;
  bool operator==(const RulesFingerprint&) const = default;
};

// The fingerprint of the rules file that a load of the library reads now.
RulesFingerprint TakeRulesFingerprint();

#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wnon-virtual-dtor"
#endif

class ReloadingLibrary final : public IClassFactory {
 public:
  // Loads `choice` and takes its class object. Null with *error when either
  // fails. `who` names the command in the log lines of later loads.
  static std::unique_ptr<ReloadingLibrary> Open(const LibraryChoice& choice, std::string* error,
                                                const char* who = "proxy");
  ~ReloadingLibrary();
  ReloadingLibrary(const ReloadingLibrary&) = delete;
  ReloadingLibrary& operator=(const ReloadingLibrary&) = delete;

  // How long a change of the rules file may wait before a page start sees it.
  static constexpr std::chrono::seconds kCheckInterval{1};

  // IUnknown: the object lives as long as its owner holds it.
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
  ULONG STDMETHODCALLTYPE AddRef() override { return 1; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }
  // IClassFactory: a filter object of the current load, after the check.
  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override;
  HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override;

  // Test hook: checks the rules file now rather than at the next page start
  // due; true when that made a new load.
  bool CheckNow();

 private:
  struct Load {
    std::unique_ptr<LoadedLibrary> library;
    IClassFactory* factory = nullptr;
    bool unload_allowed_once = false;
  };

  ReloadingLibrary(const LibraryChoice& choice, const char* who) : choice_(choice), who_(who) {}
  // A load of a private copy of the library; null with *error.
  std::unique_ptr<Load> LoadCopy(std::string* error);
  // Requires mutex_. Makes a new load when the rules file has changed, and
  // unloads retired loads that are no longer in use.
  bool CheckLocked();

  const LibraryChoice choice_;
  const char* const who_;
  std::mutex mutex_;
  std::unique_ptr<Load> current_;
  std::vector<std::unique_ptr<Load>> retired_;
  RulesFingerprint fingerprint_;
  std::chrono::steady_clock::time_point next_check_;
};

#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif

}  // namespace velquor::host

#endif  // VELQUOR_HOST_PROXY_LIBRARY_RELOADER_H_
