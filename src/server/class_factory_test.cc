// The module's lock count as the class object, LockServer and the entry
// points move it, and the class object's cache in the object map.
#include "server/class_factory.h"

#include <atomic>
#include <thread>
#include <vector>

#include "server/server_test_support.h"

namespace velquor::test {
namespace {

using ClassObjectTest = ServerTest;

IClassFactory* GetFactory() {
  void* p = nullptr;
  HRESULT hr = DllGetClassObject(CLSID_IENubrix, IID_IClassFactory, &p);
  EXPECT_EQ(hr, S_OK);
  return static_cast<IClassFactory*>(p);
}

TEST_F(ClassObjectTest, TwoRequestsAndTheirReleasesMoveTheLockCountOnce) {
  ASSERT_EQ(ModuleLockCount(), 0);
  IClassFactory* first = GetFactory();
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(ModuleLockCount(), 1);
  IClassFactory* second = GetFactory();
  EXPECT_EQ(second, first) << "one cached class object";
  EXPECT_EQ(ModuleLockCount(), 1);
  // Release returns the class object's count: the cache keeps the last one.
  EXPECT_EQ(first->Release(), 2u);
  EXPECT_EQ(ModuleLockCount(), 1);
  EXPECT_EQ(second->Release(), 1u);
  EXPECT_EQ(ModuleLockCount(), 0);
  EXPECT_EQ(DllCanUnloadNow(), S_OK);
}

TEST_F(ClassObjectTest, LockServerHoldsTheLibraryUntilUnlocked) {
  IClassFactory* factory = GetFactory();
  EXPECT_EQ(factory->LockServer(1), S_OK);
  factory->Release();
  EXPECT_EQ(DllCanUnloadNow(), S_FALSE);
  factory = GetFactory();
  EXPECT_EQ(factory->LockServer(0), S_OK);
  factory->Release();
  EXPECT_EQ(DllCanUnloadNow(), S_OK);
}

TEST_F(ClassObjectTest, GetClassObjectRefusals) {
  void* p = reinterpret_cast<void*>(1);
  EXPECT_EQ(DllGetClassObject(IID_IIENubrix, IID_IClassFactory, &p), CLASS_E_CLASSNOTAVAILABLE);
  EXPECT_EQ(p, nullptr);
  EXPECT_EQ(DllGetClassObject(CLSID_IENubrix, IID_IClassFactory, nullptr), E_POINTER);
  p = reinterpret_cast<void*>(1);
  EXPECT_EQ(DllGetClassObject(CLSID_IENubrix, IID_IInternetProtocol, &p), E_NOINTERFACE);
  EXPECT_EQ(p, nullptr);
  EXPECT_EQ(ModuleLockCount(), 0);
}

TEST_F(ClassObjectTest, QueryInterfaceAnswersForItsTwoInterfacesOnly) {
  IClassFactory* factory = GetFactory();
  struct Case {
    const IID* iid;
    HRESULT expected;
  } cases[] = {{&IID_IUnknown, S_OK},
               {&IID_IClassFactory, S_OK},
               {&IID_IDispatch, E_NOINTERFACE},
               {&IID_IInternetProtocol, E_NOINTERFACE}};
  for (const Case& c : cases) {
    void* p = reinterpret_cast<void*>(1);
    HRESULT hr = factory->QueryInterface(*c.iid, &p);
    EXPECT_EQ(hr, c.expected);
    if (hr == S_OK) {
      EXPECT_EQ(p, static_cast<void*>(factory));
      static_cast<IUnknown*>(p)->Release();
    } else {
      EXPECT_EQ(p, nullptr);
    }
  }
  EXPECT_EQ(factory->QueryInterface(IID_IUnknown, nullptr), E_POINTER);
  factory->Release();
}

TEST_F(ClassObjectTest, CreateInstanceRefusesAggregationWithOtherInterfaces) {
  IClassFactory* factory = GetFactory();
  LoudOuter outer;  // refused before it could be called
  void* p = reinterpret_cast<void*>(1);
  EXPECT_EQ(factory->CreateInstance(&outer, IID_IInternetProtocol, &p), CLASS_E_NOAGGREGATION);
  EXPECT_EQ(p, nullptr);
  EXPECT_EQ(factory->CreateInstance(nullptr, IID_IInternetProtocol, nullptr), E_POINTER);
  EXPECT_EQ(ModuleLockCount(), 1) << "only the factory itself is held";
  factory->Release();
}

// A class object that counts its creations and destruction, to watch the
// object map's cache.
struct CountingClassObject final : IUnknown {
  static inline int created = 0;
  static inline int destroyed = 0;
  std::atomic<ULONG> ref{0};  // racing threads take references
  HRESULT QueryInterface(REFIID, void** ppv) override {
    ++ref;
    *ppv = this;
    return S_OK;
  }
  ULONG AddRef() override { return ++ref; }
  ULONG Release() override {
    ULONG n = --ref;
    if (n == 0) {
      ++destroyed;
      delete this;
    }
    return n;
  }
};

HRESULT CreateCounting(InstanceCreator, REFIID riid, void** ppv) {
  ++CountingClassObject::created;
  return (new CountingClassObject)->QueryInterface(riid, ppv);
}

class FakeMapTest : public ServerTest {
 protected:
  void SetUp() override {
    ServerTest::SetUp();
    ModuleShutdown();
    CountingClassObject::created = 0;
    CountingClassObject::destroyed = 0;
    ModuleStartup(map_, ModuleOfAddress(&kTestModuleAnchor));
  }
  ObjectMapEntry map_[2] = {{&CLSID_IENubrix, nullptr, CreateCounting, nullptr, nullptr},
                            {nullptr, nullptr, nullptr, nullptr, nullptr}};
};

TEST_F(FakeMapTest, RacingFirstRequestsCreateOneClassObject) {
  constexpr int kThreads = 8;
  std::vector<IUnknown*> got(kThreads, nullptr);
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back([&got, i] {
      void* p = nullptr;
      ModuleGetClassObject(CLSID_IENubrix, IID_IUnknown, &p);
      got[static_cast<size_t>(i)] = static_cast<IUnknown*>(p);
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(CountingClassObject::created, 1);
  for (IUnknown* p : got) EXPECT_EQ(p, got[0]);
  for (IUnknown* p : got) p->Release();
}

TEST_F(FakeMapTest, ShutdownReleasesTheCachedClassObject) {
  void* p = nullptr;
  ASSERT_EQ(ModuleGetClassObject(CLSID_IENubrix, IID_IUnknown, &p), S_OK);
  static_cast<IUnknown*>(p)->Release();
  EXPECT_EQ(CountingClassObject::destroyed, 0) << "the cache still holds it";
  ModuleShutdown();
  EXPECT_EQ(CountingClassObject::destroyed, 1);
  EXPECT_EQ(map_[0].class_object, nullptr);
  ModuleStartup(map_, ModuleOfAddress(&kTestModuleAnchor));  // for TearDown
}

TEST_F(FakeMapTest, ShutdownLeavesAClassObjectHeldOutside) {
  void* p = nullptr;
  ASSERT_EQ(ModuleGetClassObject(CLSID_IENubrix, IID_IUnknown, &p), S_OK);
  ModuleShutdown();
  EXPECT_EQ(CountingClassObject::destroyed, 0);
  static_cast<IUnknown*>(p)->Release();
  EXPECT_EQ(CountingClassObject::destroyed, 1);
  ModuleStartup(map_, ModuleOfAddress(&kTestModuleAnchor));
}

}  // namespace
}  // namespace velquor::test
