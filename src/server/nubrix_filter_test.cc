// The filter object's identity: its interface table, one count for all entry
// points, the lock and holder accounting of creation and destruction, the
// aggregate's delegation, the automation operations, and the forwarding of
// the stream operations.
#include "server/nubrix_filter.h"

#include <string>

#include "platform/error_info.h"
#include "platform/typelib.h"
#include "server/nubrix_aggregate.h"
#include "server/registration.h"
#include "server/server_test_support.h"
#include "server/type_info_holder.h"

namespace velquor::test {
namespace {

// The kind of system the type library was built for.
#if defined(_WIN64)
constexpr SYSKIND kOwnSysKind = SYS_WIN64;
#else
constexpr SYSKIND kOwnSysKind = SYS_WIN32;
#endif

using FilterObjectTest = ServerTest;

IInternetProtocol* NewFilter() {
  void* p = nullptr;
  EXPECT_EQ(CreateFilterInstance(nullptr, IID_IInternetProtocol, &p), S_OK);
  return static_cast<IInternetProtocol*>(p);
}

TEST_F(FilterObjectTest, InterfaceTableAnswersInItsOrder) {
  NubrixFilter* filter = nullptr;
  {
    void* p = nullptr;
    ASSERT_EQ(CreateFilterInstance(nullptr, IID_IIENubrix, &p), S_OK);
    filter = static_cast<NubrixFilter*>(static_cast<IIENubrix*>(p));
  }
  struct Case {
    const char* name;
    const IID* iid;
    void* expected;
  } cases[] = {
      {"IUnknown", &IID_IUnknown, static_cast<IIENubrix*>(filter)},
      {"IIENubrix", &IID_IIENubrix, static_cast<IIENubrix*>(filter)},
      {"IDispatch", &IID_IDispatch, static_cast<IIENubrix*>(filter)},
      {"IInternetProtocol", &IID_IInternetProtocol, static_cast<IInternetProtocol*>(filter)},
      {"IInternetProtocolSink", &IID_IInternetProtocolSink,
       static_cast<IInternetProtocolSink*>(filter)},
      {"IInternetProtocolInfo", &IID_IInternetProtocolInfo,
       static_cast<IInternetProtocolInfo*>(filter)},
      {"IInternetProtocolRoot", &IID_IInternetProtocolRoot, nullptr},
      {"IClassFactory", &IID_IClassFactory, nullptr},
  };
  for (const Case& c : cases) {
    void* p = reinterpret_cast<void*>(1);
    HRESULT hr = filter->QueryInterface(*c.iid, &p);
    EXPECT_EQ(p, c.expected) << c.name;
    if (c.expected == nullptr) {
      EXPECT_EQ(hr, E_NOINTERFACE) << c.name;
    } else {
      EXPECT_EQ(hr, S_OK) << c.name;
      EXPECT_EQ(static_cast<IUnknown*>(p)->Release(), 1u) << c.name;
    }
  }
  EXPECT_EQ(filter->QueryInterface(IID_IUnknown, nullptr), E_POINTER);
  EXPECT_EQ(static_cast<IIENubrix*>(filter)->Release(), 0u);
}

TEST_F(FilterObjectTest, EntryPointsShareOneCount) {
  IInternetProtocol* protocol = NewFilter();
  void* p = nullptr;
  ASSERT_EQ(protocol->QueryInterface(IID_IInternetProtocolSink, &p), S_OK);
  auto* sink = static_cast<IInternetProtocolSink*>(p);
  EXPECT_EQ(protocol->AddRef(), 3u);
  EXPECT_EQ(sink->Release(), 2u);
  EXPECT_EQ(sink->Release(), 1u);
  EXPECT_EQ(ModuleLockCount(), 1);
  EXPECT_EQ(protocol->Release(), 0u);
}

TEST_F(FilterObjectTest, EachLivingObjectHoldsOneLockAndOneHolderUse) {
  EXPECT_EQ(ModuleLockCount(), 0);
  IInternetProtocol* a = NewFilter();
  IInternetProtocol* b = NewFilter();
  EXPECT_EQ(ModuleLockCount(), 2);
  EXPECT_EQ(TypeInfoUserCount(), 2);
  EXPECT_EQ(DllCanUnloadNow(), S_FALSE);
  a->Release();
  EXPECT_EQ(ModuleLockCount(), 1);
  EXPECT_EQ(TypeInfoUserCount(), 1);
  b->Release();
  EXPECT_EQ(ModuleLockCount(), 0);
  EXPECT_EQ(TypeInfoUserCount(), 0);
  EXPECT_EQ(DllCanUnloadNow(), S_OK);
}

TEST_F(FilterObjectTest, RefusedCreationLeavesTheCountsAsTheyWere) {
  IInternetProtocol* held = NewFilter();
  void* p = reinterpret_cast<void*>(1);
  EXPECT_EQ(CreateFilterInstance(nullptr, IID_IInternetProtocolRoot, &p), E_NOINTERFACE);
  EXPECT_EQ(p, nullptr);
  EXPECT_EQ(ModuleLockCount(), 1);
  EXPECT_EQ(TypeInfoUserCount(), 1);
  EXPECT_EQ(CreateFilterInstance(nullptr, IID_IInternetProtocol, nullptr), E_POINTER);
  held->Release();
}

TEST_F(FilterObjectTest, AggregateDelegatesToTheOuterObject) {
  LoudOuter outer;
  void* p = nullptr;
  ASSERT_EQ(CreateFilterInstance(&outer, IID_IUnknown, &p), S_OK);
  auto* own = static_cast<IUnknown*>(p);
  outer.inner = own;
  EXPECT_EQ(ModuleLockCount(), 1);
  EXPECT_EQ(TypeInfoUserCount(), 1);
  EXPECT_EQ(outer.addrefs + outer.queries + outer.releases, 0)
      << "creation must not touch the outer object";

  // The aggregate's own IUnknown answers IUnknown with itself.
  void* again = nullptr;
  ASSERT_EQ(own->QueryInterface(IID_IUnknown, &again), S_OK);
  EXPECT_EQ(again, static_cast<void*>(own));
  EXPECT_EQ(own->Release(), 1u);

  // Other interfaces come from the contained object; the reference they
  // carry goes to the outer object.
  outer.allow_addref_release = true;
  void* q = nullptr;
  ASSERT_EQ(own->QueryInterface(IID_IInternetProtocol, &q), S_OK);
  auto* protocol = static_cast<IInternetProtocol*>(q);
  EXPECT_EQ(outer.addrefs, 1);
  EXPECT_EQ(protocol->AddRef(), outer.ref);
  EXPECT_EQ(outer.addrefs, 2);
  EXPECT_EQ(own->AddRef(), 2u) << "the aggregate's own count is unchanged";
  EXPECT_EQ(own->Release(), 1u);
  protocol->Release();
  protocol->Release();
  EXPECT_EQ(outer.releases, 2);

  // QueryInterface on a contained entry point asks the outer object.
  outer.allow_query = true;
  void* sink = nullptr;
  EXPECT_EQ(protocol->QueryInterface(IID_IInternetProtocolSink, &sink), S_OK);
  EXPECT_EQ(outer.queries, 1);
  static_cast<IUnknown*>(sink)->Release();

  outer.allow_addref_release = false;
  EXPECT_EQ(own->Release(), 0u);
  EXPECT_EQ(ModuleLockCount(), 0);
  EXPECT_EQ(TypeInfoUserCount(), 0);
}

TEST_F(FilterObjectTest, AggregateRefusedInterfaceDestroysIt) {
  LoudOuter outer;
  void* p = reinterpret_cast<void*>(1);
  EXPECT_EQ(CreateFilterAggregate(&outer, IID_IClassFactory, &p), E_NOINTERFACE);
  EXPECT_EQ(p, nullptr);
  EXPECT_EQ(ModuleLockCount(), 0);
  EXPECT_EQ(TypeInfoUserCount(), 0);
}

class AutomationTest : public ServerTest {
 protected:
  IIENubrix* NewDispatch() {
    void* p = nullptr;
    EXPECT_EQ(CreateFilterInstance(nullptr, IID_IIENubrix, &p), S_OK);
    return static_cast<IIENubrix*>(p);
  }
};

TEST_F(AutomationTest, TypeInfoFromTheRegisteredLibraryWhateverTheIndex) {
  ASSERT_EQ(RegisterServerTypeLib(), S_OK);
  IIENubrix* object = NewDispatch();
  UINT count = 0;
  EXPECT_EQ(object->GetTypeInfoCount(&count), S_OK);
  EXPECT_EQ(count, 1u);
  EXPECT_EQ(object->GetTypeInfoCount(nullptr), E_POINTER);

  ITypeInfo* first = nullptr;
  ITypeInfo* fifth = nullptr;
  ASSERT_EQ(object->GetTypeInfo(0, 0x0409, &first), S_OK);
  ASSERT_EQ(object->GetTypeInfo(5, 0, &fifth), S_OK);
  EXPECT_EQ(first, fifth);
  EXPECT_EQ(object->GetTypeInfo(0, 0, nullptr), E_POINTER);
  first->Release();
  fifth->Release();

  OLECHAR name[] = OLESTR("Anything");
  LPOLESTR names[] = {name};
  DISPID ids[1] = {7};
  EXPECT_EQ(object->GetIDsOfNames(IID_IUnknown, names, 1, 0, ids), DISP_E_UNKNOWNNAME);
  EXPECT_EQ(ids[0], DISPID_UNKNOWN);
  DISPPARAMS params{nullptr, nullptr, 0, 0};
  EXPECT_EQ(object->Invoke(1, IID_IUnknown, 0, 1, &params, nullptr, nullptr, nullptr),
            DISP_E_MEMBERNOTFOUND);
  object->Release();
}

TEST_F(AutomationTest, TypeInfoIsLoadedAgainAfterTheLastObjectGoes) {
  ASSERT_EQ(RegisterServerTypeLib(), S_OK);
  IIENubrix* object = NewDispatch();
  ITypeInfo* info = nullptr;
  ASSERT_EQ(object->GetTypeInfo(0, 0x0409, &info), S_OK);
  info->Release();
  EXPECT_TRUE(TypeInfoCached());
  object->Release();
  EXPECT_FALSE(TypeInfoCached());

  // With the registration gone, only a fresh load can notice.
  ASSERT_EQ(UnRegisterTypeLib(LIBID_NUBRIXLib, 1, 0, 0x0409, kOwnSysKind), S_OK);
  object = NewDispatch();
  info = reinterpret_cast<ITypeInfo*>(1);
  EXPECT_EQ(object->GetTypeInfo(0, 0x0409, &info), TYPE_E_LIBNOTREGISTERED);
  EXPECT_EQ(info, nullptr);
  EXPECT_EQ(object->GetIDsOfNames(IID_IUnknown, nullptr, 0, 0x0409, nullptr),
            TYPE_E_LIBNOTREGISTERED);
  object->Release();
}

// An error object that only counts its references.
struct CountedErrorInfo : IErrorInfo {
  ULONG refs = 1;
  HRESULT QueryInterface(REFIID, void** ppv) override {
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  ULONG AddRef() override { return ++refs; }
  ULONG Release() override { return --refs; }
#if defined(_WIN32)
  HRESULT STDMETHODCALLTYPE GetGUID(GUID*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetSource(BSTR*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetDescription(BSTR*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetHelpFile(BSTR*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetHelpContext(DWORD*) override { return E_NOTIMPL; }
#endif
};

TEST_F(AutomationTest, InvokeClearsTheThreadsErrorInfoFirst) {
  // Whether the call then fails in the type information or in loading it,
  // an error object left by an earlier call is gone and released.
  for (bool registered : {true, false}) {
    if (registered) {
      ASSERT_EQ(RegisterServerTypeLib(), S_OK);
    }
    IIENubrix* object = NewDispatch();
    CountedErrorInfo stale;
    ASSERT_EQ(SetErrorInfo(0, &stale), S_OK);
    DISPPARAMS params{nullptr, nullptr, 0, 0};
    EXPECT_EQ(object->Invoke(1, IID_IUnknown, 0x0409, 1, &params, nullptr, nullptr, nullptr),
              registered ? DISP_E_MEMBERNOTFOUND : TYPE_E_LIBNOTREGISTERED);
    EXPECT_EQ(stale.refs, 1u) << "registered " << registered;
    IErrorInfo* left = reinterpret_cast<IErrorInfo*>(1);
    EXPECT_EQ(GetErrorInfo(0, &left), S_FALSE) << "registered " << registered;
    EXPECT_EQ(left, nullptr);
    object->Release();
    if (registered) {
      ASSERT_EQ(UnRegisterTypeLib(LIBID_NUBRIXLib, 1, 0, 0x0409, kOwnSysKind), S_OK);
    }
  }
}

// An inner protocol that hands out a fixed text; only Read and Continue are
// expected.
struct TextProtocol : IInternetProtocol {
  std::string text;
  size_t pos = 0;
  int continues = 0;
  PROTOCOLDATA* last_data = nullptr;
  HRESULT QueryInterface(REFIID, void**) override { return Unexpected("QueryInterface"); }
  ULONG AddRef() override { return Unexpected("AddRef"), 1; }
  ULONG Release() override { return Unexpected("Release"), 1; }
  HRESULT Start(LPCWSTR, IInternetProtocolSink*, IInternetBindInfo*, DWORD, HANDLE_PTR) override {
    return Unexpected("Start");
  }
  HRESULT Continue(PROTOCOLDATA* data) override {
    ++continues;
    last_data = data;
    return S_OK;
  }
  HRESULT Abort(HRESULT, DWORD) override { return Unexpected("Abort"); }
  HRESULT Terminate(DWORD) override { return Unexpected("Terminate"); }
  HRESULT Suspend() override { return Unexpected("Suspend"); }
  HRESULT Resume() override { return Unexpected("Resume"); }
  HRESULT Read(void* buffer, ULONG count, ULONG* read) override {
    size_t n = std::min<size_t>(count, text.size() - pos);
    std::copy_n(text.data() + pos, n, static_cast<char*>(buffer));
    pos += n;
    *read = static_cast<ULONG>(n);
    return pos == text.size() ? S_FALSE : S_OK;
  }
  HRESULT Seek(LARGE_INTEGER, DWORD, ULARGE_INTEGER*) override { return Unexpected("Seek"); }
  HRESULT LockRequest(DWORD) override { return Unexpected("LockRequest"); }
  HRESULT UnlockRequest() override { return Unexpected("UnlockRequest"); }
  static HRESULT Unexpected(const char* what) {
    ADD_FAILURE() << "unexpected inner protocol call " << what;
    return E_FAIL;
  }
};

struct SilentSink : IInternetProtocolSink {
  HRESULT QueryInterface(REFIID, void**) override { return Fail(); }
  ULONG AddRef() override { return Fail(), 1; }
  ULONG Release() override { return Fail(), 1; }
  HRESULT Switch(PROTOCOLDATA*) override { return Fail(); }
  HRESULT ReportProgress(ULONG, LPCWSTR) override { return Fail(); }
  HRESULT ReportData(DWORD, ULONG, ULONG) override { return Fail(); }
  HRESULT ReportResult(HRESULT, DWORD, LPCWSTR) override { return Fail(); }
  static HRESULT Fail() {
    ADD_FAILURE() << "unexpected sink call";
    return E_FAIL;
  }
};

TEST_F(FilterObjectTest, StreamOperationsReachThePage) {
  TextProtocol inner;
  inner.text = "<HTML><BODY>plain text, no links</BODY></HTML>";
  SilentSink sink;
  IInternetProtocol* filter = NewFilter();
  PROTOCOLFILTERDATA data{sizeof(PROTOCOLFILTERDATA), nullptr, &inner, nullptr, 0};
  ASSERT_EQ(
      filter->Start(OLESTR("text/html"), &sink, nullptr, 0, reinterpret_cast<HANDLE_PTR>(&data)),
      S_OK);
  std::string out;
  char buffer[7];
  HRESULT hr = S_OK;
  for (int guard = 0; guard < 1000; ++guard) {
    ULONG got = 0;
    hr = filter->Read(buffer, sizeof(buffer), &got);
    out.append(buffer, got);
    if (hr == S_FALSE && got == 0) break;
  }
  EXPECT_EQ(hr, S_FALSE);
  EXPECT_EQ(out, inner.text);

  // The inner protocol's Switch is answered by the filter's own Continue.
  void* p = nullptr;
  ASSERT_EQ(filter->QueryInterface(IID_IInternetProtocolSink, &p), S_OK);
  auto* as_sink = static_cast<IInternetProtocolSink*>(p);
  PROTOCOLDATA switch_data{};
  EXPECT_EQ(as_sink->Switch(&switch_data), S_OK);
  EXPECT_EQ(inner.continues, 1);
  EXPECT_EQ(inner.last_data, &switch_data);
  as_sink->Release();

  void* info = nullptr;
  ASSERT_EQ(filter->QueryInterface(IID_IInternetProtocolInfo, &info), S_OK);
  auto* as_info = static_cast<IInternetProtocolInfo*>(info);
  EXPECT_EQ(as_info->CompareUrl(OLESTR("a"), OLESTR("b"), 0), INET_E_DEFAULT_ACTION);
  EXPECT_EQ(as_info->QueryInfo(OLESTR("a"), static_cast<QUERYOPTION>(0), 0, nullptr, 0, nullptr, 0),
            INET_E_QUERYOPTION_UNKNOWN);
  as_info->Release();
  filter->Release();
}

}  // namespace
}  // namespace velquor::test
