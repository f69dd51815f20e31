// Finds libvelquor.so and loads it as the browser's URL-loading layer does:
// with dlopen, through its exported entry points only. Used by `velquor
// filter` (the browser's part) and by install, uninstall, register and
// unregister (the installation's part). Single-threaded use.
//
// Which library: the path given with --library; else, when the caller allows
// it, the library that the class's InprocServer32 key names when the
// MIME-filter entry for text/html (value "CLSID" of
// HKEY_CLASSES_ROOT\PROTOCOLS\Filter\text/html) names the class; else the
// one installed with the program: in its own directory, or in ../lib
// relative to it.
#ifndef VELQUOR_HOST_LIBRARY_LOADER_H_
#define VELQUOR_HOST_LIBRARY_LOADER_H_

#include <memory>
#include <string>

#include "velquor/velquor.h"

namespace velquor::host {

// The registry path of the browser's MIME-filter entry for HTML.
inline constexpr char kHtmlFilterKey[] = "PROTOCOLS\\Filter\\text/html";

struct LibraryChoice {
  std::string path;
  CLSID clsid = CLSID_IENubrix;  // the class to ask the library for
};

// Picks the library as described above. `explicit_path` empty means none was
// given; `use_registration` allows the registered filter. False with *error
// naming what was looked for when nothing usable is found.
bool FindLibrary(const std::string& explicit_path, bool use_registration, LibraryChoice* choice,
                 std::string* error);

// The library named by the registered MIME filter for text/html: false (and
// nothing set) when there is no such entry or it names no InprocServer32.
bool RegisteredLibrary(LibraryChoice* choice);

// A loaded library. The destructor releases nothing of the caller's; it asks
// DllCanUnloadNow and unloads the library when that allows it.
class LoadedLibrary {
 public:
  // Loads `path` and looks up the four entry points. Null with *error (the
  // path and the loader's reason) on failure.
  static std::unique_ptr<LoadedLibrary> Open(const std::string& path, std::string* error);
  ~LoadedLibrary();
  LoadedLibrary(const LoadedLibrary&) = delete;
  LoadedLibrary& operator=(const LoadedLibrary&) = delete;

  const std::string& path() const { return path_; }

  // DllGetClassObject for IClassFactory. On success *factory holds one
  // reference, which the caller releases before this object goes.
  HRESULT GetClassFactory(REFCLSID clsid, IClassFactory** factory);
  // DllCanUnloadNow: S_OK once nothing of the library is in use.
  HRESULT CanUnloadNow() { return can_unload_now_(); }
  HRESULT Register() { return register_(); }
  HRESULT Unregister() { return unregister_(); }

 private:
  LoadedLibrary() = default;

  std::string path_;
  void* handle_ = nullptr;
  DllGetClassObjectFn get_class_object_ = nullptr;
  DllCanUnloadNowFn can_unload_now_ = nullptr;
  DllRegisterServerFn register_ = nullptr;
  DllUnregisterServerFn unregister_ = nullptr;
};

// "0x8007007E" for a result code.
std::string FormatResult(HRESULT hr);

}  // namespace velquor::host

#endif  // VELQUOR_HOST_LIBRARY_LOADER_H_
