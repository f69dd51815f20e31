// urlmon_client: reads pages through the system's URL-loading layer, as a
// browser does, so that the MIME filter registered for text/html sees them.
//
//   urlmon_client URL OUTFILE [URL OUTFILE ...]
//       Each URL is one binding (CoInternetGetSession, CreateBinding, Start
//       with our own protocol sink and bind information); whatever Read hands
//       out is written to OUTFILE. Exit 0 when every page arrived whole.
//   urlmon_client --unload DLL
//       Checks DllCanUnloadNow of DLL: S_OK when freshly loaded, S_FALSE while
//       a class object or a filter object lives or the server is locked, S_OK
//       again once all are gone.
//
// The URL-loading layer fills its own cache file first when asked to
// download to a file or a blocking stream, so only a binding read on each
// ReportData hands out the filtered stream. Reads use a buffer larger than
// any test page, so each page leaves the filter whole.
#include <windows.h>

#include <objbase.h>
#include <urlmon.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

constexpr DWORD kTimeoutMs = 60000;
constexpr ULONG kReadSize = 64u << 20;
constexpr UINT kContinueMessage = WM_APP + 1;

std::wstring Widen(const char* text) {
  int n = MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0);
  std::wstring out(n > 0 ? static_cast<size_t>(n) : 1u, L'\0');
  MultiByteToWideChar(CP_ACP, 0, text, -1, out.data(), n);
  out.resize(out.size() - 1);
  return out;
}

// The caller's side of one binding: protocol sink, bind information, and the
// service provider that hands out the HTTP negotiation callbacks. It lives on
// the stack of the binding, so its reference count only keeps the contract.
class Client : public IInternetProtocolSink,
               public IInternetBindInfo,
               public IServiceProvider,
               public IHttpNegotiate {
 public:
  explicit Client(DWORD thread) : thread_(thread) {}

  void set_protocol(IInternetProtocol* protocol) { protocol_ = protocol; }
  bool done() const { return done_; }
  HRESULT result() const { return result_; }
  const std::string& data() const { return data_; }

  // IUnknown
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (ppv == nullptr) return E_POINTER;
    *ppv = nullptr;
    if (IsEqualGUID(riid, IID_IUnknown) || IsEqualGUID(riid, IID_IInternetProtocolSink)) {
      *ppv = static_cast<IInternetProtocolSink*>(this);
    } else if (IsEqualGUID(riid, IID_IInternetBindInfo)) {
      *ppv = static_cast<IInternetBindInfo*>(this);
    } else if (IsEqualGUID(riid, IID_IServiceProvider)) {
      *ppv = static_cast<IServiceProvider*>(this);
    } else if (IsEqualGUID(riid, IID_IHttpNegotiate)) {
      *ppv = static_cast<IHttpNegotiate*>(this);
    } else {
      return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
  ULONG STDMETHODCALLTYPE Release() override { return --refs_; }

  // IInternetProtocolSink
  HRESULT STDMETHODCALLTYPE Switch(PROTOCOLDATA* data) override {
    // Continue must run on this binding's thread: hand the data over.
    auto* copy = new PROTOCOLDATA(*data);
    if (!PostThreadMessageW(thread_, kContinueMessage, 0, reinterpret_cast<LPARAM>(copy))) {
      delete copy;
      return E_FAIL;
    }
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE ReportProgress(ULONG, LPCWSTR) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE ReportData(DWORD, ULONG, ULONG) override {
    if (protocol_ == nullptr) return S_OK;
    std::vector<char> buffer(kReadSize);
    for (;;) {
      ULONG got = 0;
      HRESULT hr = protocol_->Read(buffer.data(), kReadSize, &got);
      data_.append(buffer.data(), got);
      if (hr != S_OK || got == 0) break;
    }
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE ReportResult(HRESULT result, DWORD, LPCWSTR) override {
    result_ = result;
    done_ = true;
    return S_OK;
  }

  // IInternetBindInfo
  HRESULT STDMETHODCALLTYPE GetBindInfo(DWORD* flags, BINDINFO* info) override {
    *flags = BINDF_ASYNCHRONOUS | BINDF_ASYNCSTORAGE | BINDF_PULLDATA | BINDF_NOWRITECACHE |
             BINDF_GETNEWESTVERSION;
    const ULONG size = info->cbSize;
    ZeroMemory(info, size);
    info->cbSize = size;
    info->dwBindVerb = BINDVERB_GET;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetBindString(ULONG kind, LPOLESTR* strings, ULONG count,
                                          ULONG* fetched) override {
    if (kind != BINDSTRING_ACCEPT_MIMES || count < 1) return E_NOTIMPL;
    static const wchar_t kAll[] = L"*/*";
    strings[0] = static_cast<LPOLESTR>(CoTaskMemAlloc(sizeof kAll));
    if (strings[0] == nullptr) return E_OUTOFMEMORY;
    CopyMemory(strings[0], kAll, sizeof kAll);
    *fetched = 1;
    return S_OK;
  }

  // IServiceProvider
  HRESULT STDMETHODCALLTYPE QueryService(REFGUID, REFIID riid, void** ppv) override {
    if (IsEqualGUID(riid, IID_IHttpNegotiate)) return QueryInterface(riid, ppv);
    *ppv = nullptr;
    return E_NOINTERFACE;
  }

  // IHttpNegotiate
  HRESULT STDMETHODCALLTYPE BeginningTransaction(LPCWSTR, LPCWSTR, DWORD,
                                                 LPWSTR* additional) override {
    if (additional != nullptr) *additional = nullptr;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE OnResponse(DWORD, LPCWSTR, LPCWSTR, LPWSTR* additional) override {
    if (additional != nullptr) *additional = nullptr;
    return S_OK;
  }

 private:
  DWORD thread_;
  IInternetProtocol* protocol_ = nullptr;
  ULONG refs_ = 1;
  bool done_ = false;
  HRESULT result_ = S_OK;
  std::string data_;
};

// Reads `url` through one binding; the filtered page in `*page`.
bool Fetch(IInternetSession* session, const std::wstring& url, std::string* page) {
  IInternetProtocol* protocol = nullptr;
  HRESULT hr = session->CreateBinding(nullptr, url.c_str(), nullptr, nullptr, &protocol, 0);
  if (FAILED(hr) || protocol == nullptr) {
    std::fprintf(stderr, "CreateBinding failed: 0x%08lx\n", static_cast<unsigned long>(hr));
    return false;
  }

  Client client(GetCurrentThreadId());
  client.set_protocol(protocol);
  hr = protocol->Start(url.c_str(), &client, &client, 0, 0);
  const DWORD start = GetTickCount();
  while (SUCCEEDED(hr) && !client.done()) {
    if (GetTickCount() - start > kTimeoutMs) {
      std::fprintf(stderr, "no answer within %lu ms\n", kTimeoutMs);
      hr = E_FAIL;
      break;
    }
    MsgWaitForMultipleObjects(0, nullptr, FALSE, 100, QS_ALLINPUT);
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
      if (msg.message == kContinueMessage && msg.hwnd == nullptr) {
        auto* data = reinterpret_cast<PROTOCOLDATA*>(msg.lParam);
        protocol->Continue(data);
        delete data;
      } else {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
      }
    }
  }
  if (SUCCEEDED(hr)) hr = client.result();
  protocol->Terminate(0);
  protocol->Release();
  if (FAILED(hr)) {
    std::fprintf(stderr, "binding failed: 0x%08lx\n", static_cast<unsigned long>(hr));
    return false;
  }
  *page = client.data();
  return true;
}

int FetchAll(int argc, char** argv) {
  IInternetSession* session = nullptr;
  if (FAILED(CoInternetGetSession(0, &session, 0))) {
    std::fprintf(stderr, "no URL-loading session\n");
    return 2;
  }
  int status = 0;
  for (int i = 1; i + 1 < argc; i += 2) {
    std::string page;
    if (!Fetch(session, Widen(argv[i]), &page)) {
      std::fprintf(stderr, "%s: not read\n", argv[i]);
      status = 1;
      continue;
    }
    FILE* out = std::fopen(argv[i + 1], "wb");
    if (out == nullptr || std::fwrite(page.data(), 1, page.size(), out) != page.size()) {
      std::fprintf(stderr, "%s: cannot write\n", argv[i + 1]);
      status = 2;
    }
    if (out != nullptr) std::fclose(out);
  }
  session->Release();
  return status;
}

int CheckUnload(const char* path) {
  HMODULE dll = LoadLibraryA(path);
  if (dll == nullptr) {
    std::fprintf(stderr, "%s: cannot load\n", path);
    return 2;
  }
  auto can_unload = reinterpret_cast<HRESULT(STDAPICALLTYPE*)()>(
      reinterpret_cast<void*>(GetProcAddress(dll, "DllCanUnloadNow")));
  auto get_class = reinterpret_cast<HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**)>(
      reinterpret_cast<void*>(GetProcAddress(dll, "DllGetClassObject")));
  if (can_unload == nullptr || get_class == nullptr) return 2;
  static const CLSID kFilter = {
      0x5A1C7E32, 0x0B4D, 0x4E62, {0x8F, 0x93, 0x2C, 0x6B, 0x0D, 0x1E, 0x7A, 0x45}};
  int failures = 0;
  auto expect = [&](const char* when, HRESULT want) {
    HRESULT got = can_unload();
    if (got != want) {
      std::fprintf(stderr, "DllCanUnloadNow %s: 0x%08lx, expected 0x%08lx\n", when,
                   static_cast<unsigned long>(got), static_cast<unsigned long>(want));
      ++failures;
    }
  };
  expect("when loaded", S_OK);
  IClassFactory* factory = nullptr;
  if (FAILED(get_class(kFilter, IID_IClassFactory, reinterpret_cast<void**>(&factory)))) {
    std::fprintf(stderr, "DllGetClassObject failed\n");
    return 1;
  }
  expect("with a class object", S_FALSE);
  IUnknown* filter = nullptr;
  factory->CreateInstance(nullptr, IID_IInternetProtocol, reinterpret_cast<void**>(&filter));
  factory->LockServer(TRUE);
  factory->Release();
  expect("with a filter object and a lock", S_FALSE);
  if (filter != nullptr) filter->Release();
  expect("with a lock", S_FALSE);
  get_class(kFilter, IID_IClassFactory, reinterpret_cast<void**>(&factory));
  factory->LockServer(FALSE);
  factory->Release();
  expect("after all are gone", S_OK);
  FreeLibrary(dll);
  return failures == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::string(argv[1]) == "--unload") return CheckUnload(argv[2]);
  if (argc < 3 || argc % 2 == 0) {
    std::fprintf(stderr,
                 "usage: urlmon_client URL OUTFILE [URL OUTFILE ...]\n"
                 "       urlmon_client --unload DLL\n");
    return 2;
  }
  if (FAILED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) return 2;
  int status = FetchAll(argc, argv);
  CoUninitialize();
  return status;
}
