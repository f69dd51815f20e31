// The smallest host of the Velquor filter: it loads libvelquor.so as a
// browser's URL-loading layer would, filters one page held in a string and
// prints the result. Usage: minimal_host [LIBRARY] (default: the installed
// library this program was built against).
#include <dlfcn.h>

#include <algorithm>
#include <cstdio>
#include <string>

#include "velquor/velquor.h"

#ifndef VELQUOR_LIBRARY_PATH
#define VELQUOR_LIBRARY_PATH "libvelquor.so"
#endif

#pragma GCC diagnostic ignored "-Wnon-virtual-dtor"

// The protocol beneath the filter: hands out the page a few bytes at a time.
struct StringProtocol : IInternetProtocol {
  std::string page;
  size_t pos = 0;
  HRESULT QueryInterface(REFIID, void** ppv) override {
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  ULONG AddRef() override { return 1; }  // lives on the stack
  ULONG Release() override { return 1; }
  HRESULT Start(LPCWSTR, IInternetProtocolSink*, IInternetBindInfo*, DWORD, HANDLE_PTR) override {
    return S_OK;
  }
  HRESULT Continue(PROTOCOLDATA*) override { return S_OK; }
  HRESULT Abort(HRESULT, DWORD) override { return S_OK; }
  HRESULT Terminate(DWORD) override { return S_OK; }
  HRESULT Suspend() override { return S_OK; }
  HRESULT Resume() override { return S_OK; }
  HRESULT Read(void* buffer, ULONG count, ULONG* read) override {
    size_t n = std::min<size_t>({count, page.size() - pos, 16});
    std::copy_n(page.data() + pos, n, static_cast<char*>(buffer));
    pos += n;
    *read = static_cast<ULONG>(n);
    return pos == page.size() ? S_FALSE : S_OK;
  }
  HRESULT Seek(LARGE_INTEGER, DWORD, ULARGE_INTEGER*) override { return S_OK; }
  HRESULT LockRequest(DWORD) override { return S_OK; }
  HRESULT UnlockRequest() override { return S_OK; }
};

// The browser's side: takes the filter's reports and ignores them.
struct QuietSink : IInternetProtocolSink {
  HRESULT QueryInterface(REFIID, void** ppv) override {
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  ULONG AddRef() override { return 1; }
  ULONG Release() override { return 1; }
  HRESULT Switch(PROTOCOLDATA*) override { return S_OK; }
  HRESULT ReportProgress(ULONG, LPCWSTR) override { return S_OK; }
  HRESULT ReportData(DWORD, ULONG, ULONG) override { return S_OK; }
  HRESULT ReportResult(HRESULT, DWORD, LPCWSTR) override { return S_OK; }
};

int main(int argc, char** argv) {
  const char* path = argc > 1 ? argv[1] : VELQUOR_LIBRARY_PATH;
  void* library = dlopen(path, RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) return std::fprintf(stderr, "minimal_host: %s\n", dlerror()), 2;
  auto get_class_object =
      reinterpret_cast<DllGetClassObjectFn>(dlsym(library, "DllGetClassObject"));
  auto can_unload_now = reinterpret_cast<DllCanUnloadNowFn>(dlsym(library, "DllCanUnloadNow"));
  if (get_class_object == nullptr || can_unload_now == nullptr) return 2;

  IClassFactory* factory = nullptr;
  HRESULT hr =
      get_class_object(CLSID_IENubrix, IID_IClassFactory, reinterpret_cast<void**>(&factory));
  if (FAILED(hr))
    return std::fprintf(stderr, "minimal_host: no class object (0x%08X)\n",
                        static_cast<unsigned>(hr)),
           2;
  IInternetProtocol* filter = nullptr;
  hr = factory->CreateInstance(nullptr, IID_IInternetProtocol, reinterpret_cast<void**>(&filter));
  if (FAILED(hr))
    return std::fprintf(stderr, "minimal_host: no filter (0x%08X)\n", static_cast<unsigned>(hr)), 2;

  StringProtocol inner;
  inner.page = "<HTML><BODY><P>Hello from a minimal host.</P></BODY></HTML>\n";
  QuietSink sink;
  PROTOCOLFILTERDATA data = {sizeof(PROTOCOLFILTERDATA), nullptr, &inner, nullptr, 0};
  hr = filter->Start(u"text/html", &sink, nullptr, 0, reinterpret_cast<HANDLE_PTR>(&data));
  char buffer[64];
  ULONG got = 0;
  while (SUCCEEDED(hr)) {  // until S_FALSE hands out nothing more
    hr = filter->Read(buffer, sizeof(buffer), &got);
    std::fwrite(buffer, 1, got, stdout);
    if (hr == S_FALSE && got == 0) break;
  }
  filter->Release();
  factory->Release();
  if (can_unload_now() == S_OK) dlclose(library);
  return FAILED(hr) ? 1 : 0;
}
