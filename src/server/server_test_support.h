// Shared by the server's unit tests: a fixture that gives each test a fresh
// profile directory (so no test touches a real registry) and a started
// module, registry helpers that read back what registration wrote, and fakes
// of the filter's partners that fail loudly on any call a test did not expect.
#ifndef VELQUOR_SERVER_SERVER_TEST_SUPPORT_H_
#define VELQUOR_SERVER_SERVER_TEST_SUPPORT_H_

#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/module.h"
#include "platform/registry.h"
#include "platform/testing_registry.h"
#include "server/entry_points.h"
#include "server/server_module.h"

namespace velquor::test {

inline constexpr char kTestModuleAnchor = 0;

// A started module in a temporary profile of its own.
class ServerTest : public TempProfileTest {
 protected:
  void SetUp() override {
#if defined(_WIN32)
    // Registration creates the system's registrar, as regsvr32 would.
    ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
#endif
    TempProfileTest::SetUp();
    ModuleStartup(LibraryObjectMap(), ModuleOfAddress(&kTestModuleAnchor));
  }
  void TearDown() override {
    ModuleShutdown();
    RemoveProfile();
  }
  // The profile's half of TearDown, for tests that shut the module down
  // themselves.
  void RemoveProfile() {
    TempProfileTest::TearDown();
#if defined(_WIN32)
    CoUninitialize();
#endif
  }
};

// The default value (or named value) of an HKEY_CLASSES_ROOT key as text;
// "<absent>" when the key or value does not exist.
inline std::string ReadClassesText(const std::string& key, const char* name = nullptr) {
  return ReadTestText(HKEY_CLASSES_ROOT, key, name);
}

inline bool ClassesKeyExists(const std::string& key) {
  HKEY h = nullptr;
  if (RegOpenKeyExA(HKEY_CLASSES_ROOT, key.c_str(), 0, KEY_READ, &h) != ERROR_SUCCESS) return false;
  RegCloseKey(h);
  return true;
}

// Every key path below `key` (recursively, children before grandchildren in
// enumeration order), for comparing whole trees.
inline void ListClassesKeys(const std::string& key, std::vector<std::string>* out) {
  HKEY h = nullptr;
  if (RegOpenKeyExA(HKEY_CLASSES_ROOT, key.empty() ? nullptr : key.c_str(), 0, KEY_READ, &h) !=
      ERROR_SUCCESS)
    return;
  for (DWORD i = 0;; ++i) {
    char name[1024];
    DWORD size = sizeof(name);
    if (RegEnumKeyExA(h, i, name, &size, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
      break;
    std::string child = key.empty() ? std::string(name) : key + "\\" + name;
    out->push_back(child);
    ListClassesKeys(child, out);
  }
  RegCloseKey(h);
}

// A controlling outer object. Each of its operations fails the test unless
// the test allowed it; it counts what it was asked.
struct LoudOuter : IUnknown {
  bool allow_query = false;
  bool allow_addref_release = false;
  IUnknown* inner = nullptr;  // the aggregate's own IUnknown, once known
  int queries = 0;
  int addrefs = 0;
  int releases = 0;
  ULONG ref = 1;

  HRESULT QueryInterface(REFIID riid, void** ppv) override {
    ++queries;
    if (!allow_query) ADD_FAILURE() << "unexpected outer QueryInterface";
    *ppv = nullptr;
    if (IsEqualGUID(riid, IID_IUnknown)) {
      *ppv = this;
      AddRef();
      return S_OK;
    }
    return inner != nullptr ? inner->QueryInterface(riid, ppv) : E_NOINTERFACE;
  }
  ULONG AddRef() override {
    ++addrefs;
    if (!allow_addref_release) ADD_FAILURE() << "unexpected outer AddRef";
    return ++ref;
  }
  ULONG Release() override {
    ++releases;
    if (!allow_addref_release) ADD_FAILURE() << "unexpected outer Release";
    return --ref;
  }
};

}  // namespace velquor::test

#endif  // VELQUOR_SERVER_SERVER_TEST_SUPPORT_H_
