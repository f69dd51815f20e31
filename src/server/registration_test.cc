// Registration: the ".tlb" and help-directory derivations, the keys that
// DllRegisterServer writes, what DllUnregisterServer leaves, and the results
// when a step fails.
#include "server/registration.h"

#include <new>
#include <set>

#include "platform/typelib.h"
#include "server/server_test_support.h"

namespace velquor::test {
namespace {

TEST(TypeLibFallbackPath, ReplacesFromTheLastDotOfThePathOrAppends) {
  struct Case {
    const char* path;
    const char* expected;
  } cases[] = {
      {"C:\\APPS\\FILTER.DLL", "C:\\APPS\\FILTER.tlb"},
      {"C:\\LIB\\NOEXT", "C:\\LIB\\NOEXT.tlb"},
      // The last "." of the whole path counts, even in a directory name.
      {"C:\\V1.0\\LIB", "C:\\V1.tlb"},
      {"/opt/velquor-1.0/lib/libvelquor", "/opt/velquor-1.tlb"},
      {"/usr/lib/libvelquor.so", "/usr/lib/libvelquor.tlb"},
      {"/a.b/c.d.e", "/a.b/c.d.tlb"},
      {"D:FILTER", "D:FILTER.tlb"},
      {"D:.", "D:.tlb"},
      {"", ".tlb"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(TypeLibFallbackPath(c.path), c.expected) << "path " << c.path;
  }
}

TEST(HelpDirectoryOf, KeepsEverythingUpToTheLastSeparator) {
  struct Case {
    const char* path;
    const char* expected;
  } cases[] = {
      {"C:\\APPS\\FILTER.DLL", "C:\\APPS\\"},  {"D:FILTER.DLL", "D:"},          {"FILTER.DLL", ""},
      {"/usr/lib/libvelquor.so", "/usr/lib/"}, {"C:\\A/B:C\\D", "C:\\A/B:C\\"}, {"", ""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(HelpDirectoryOf(c.path), c.expected) << "path " << c.path;
  }
}

class RegistrationTest : public ServerTest {
 protected:
  std::string ModulePath() {
    std::string path;
    EXPECT_EQ(GetModulePath(Module().instance, &path), S_OK);
    return path;
  }
};

constexpr char kClassKey[] = "CLSID\\{5A1C7E32-0B4D-4E62-8F93-2C6B0D1E7A45}";

TEST_F(RegistrationTest, RegisterWritesTheClassTableExactly) {
  ASSERT_EQ(DllRegisterServer(), S_OK);
  std::string module = ModulePath();
  ASSERT_FALSE(module.empty());

  struct Value {
    std::string key;
    const char* name;
    std::string expected;
  } values[] = {
      {"IENubrix.IENubrix.1", nullptr, "IEVelquor Filter"},
      {"IENubrix.IENubrix.1\\CLSID", nullptr, "{5A1C7E32-0B4D-4E62-8F93-2C6B0D1E7A45}"},
      {"IENubrix.IENubrix", nullptr, "IEVelquor Filter"},
      {"IENubrix.IENubrix\\CurVer", nullptr, "IEVelquor.IEVelquor.1"},
      {kClassKey, nullptr, "IEVelquor Filter"},
      {std::string(kClassKey) + "\\ProgID", nullptr, "IEVelquor.IEVelquor.1"},
      {std::string(kClassKey) + "\\VersionIndependentProgID", nullptr, "IEVelquor.IEVelquor"},
      {std::string(kClassKey) + "\\Programmable", nullptr, "<absent>"},
      {std::string(kClassKey) + "\\InprocServer32", nullptr, module},
      {std::string(kClassKey) + "\\InprocServer32", "ThreadingModel", "Apartment"},
  };
  for (const Value& v : values) {
    EXPECT_EQ(ReadClassesText(v.key, v.name), v.expected)
        << v.key << " " << (v.name ? v.name : "(default)");
  }

  std::vector<std::string> keys;
  ListClassesKeys("IENubrix.IENubrix.1", &keys);
  ListClassesKeys("IENubrix.IENubrix", &keys);
  ListClassesKeys("CLSID", &keys);
  std::set<std::string> got(keys.begin(), keys.end());
  std::set<std::string> expected = {
      "IENubrix.IENubrix.1\\CLSID",
      "IENubrix.IENubrix\\CurVer",
      kClassKey,
      std::string(kClassKey) + "\\ProgID",
      std::string(kClassKey) + "\\VersionIndependentProgID",
      std::string(kClassKey) + "\\Programmable",
      std::string(kClassKey) + "\\InprocServer32",
  };
  EXPECT_EQ(got, expected);

  // The type library, registered under the library's own path.
  const std::string lib_key = "TypeLib\\{5A1C7E22-0B4D-4E62-8F93-2C6B0D1E7A45}\\1.0";
  EXPECT_EQ(ReadClassesText(lib_key), "nubrix 1.0 Type Library");
#if defined(_WIN64)
  EXPECT_EQ(ReadClassesText(lib_key + "\\409\\win64"), module);
#else
  EXPECT_EQ(ReadClassesText(lib_key + "\\409\\win32"), module);
#endif
  EXPECT_EQ(ReadClassesText(lib_key + "\\HELPDIR"), HelpDirectoryOf(module));
}

TEST_F(RegistrationTest, RegisterForceRemovesAnOldClassTree) {
  HKEY stale = nullptr;
  ASSERT_EQ(RegCreateKeyExA(HKEY_CLASSES_ROOT, (std::string(kClassKey) + "\\Stale\\Deeper").c_str(),
                            0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &stale, nullptr),
            ERROR_SUCCESS);
  RegCloseKey(stale);
  ASSERT_EQ(DllRegisterServer(), S_OK);
  EXPECT_FALSE(ClassesKeyExists(std::string(kClassKey) + "\\Stale"));
}

TEST_F(RegistrationTest, UnregisterKeepsClsidAndTheTypeLibrary) {
  HKEY other = nullptr;
  ASSERT_EQ(RegCreateKeyExA(HKEY_CLASSES_ROOT, "CLSID\\{Another}", 0, nullptr, 0, KEY_ALL_ACCESS,
                            nullptr, &other, nullptr),
            ERROR_SUCCESS);
  RegCloseKey(other);
  ASSERT_EQ(DllRegisterServer(), S_OK);
  EXPECT_EQ(DllUnregisterServer(), S_OK);
  EXPECT_FALSE(ClassesKeyExists("IENubrix.IENubrix.1"));
  EXPECT_FALSE(ClassesKeyExists("IENubrix.IENubrix"));
  EXPECT_FALSE(ClassesKeyExists(kClassKey));
  EXPECT_TRUE(ClassesKeyExists("CLSID\\{Another}"));
  EXPECT_TRUE(ClassesKeyExists("TypeLib\\{5A1C7E22-0B4D-4E62-8F93-2C6B0D1E7A45}"));

  // With nothing of the class left, "CLSID" itself still stays.
  ASSERT_EQ(RegDeleteKeyA(HKEY_CLASSES_ROOT, "CLSID\\{Another}"), ERROR_SUCCESS);
  EXPECT_EQ(DllUnregisterServer(), S_OK);
  EXPECT_TRUE(ClassesKeyExists("CLSID"));
}

HRESULT FailingUpdate(bool) { return DISP_E_EXCEPTION; }

TEST_F(RegistrationTest, ScriptFailureStopsRegistrationAndUnregisterSucceeds) {
  ModuleShutdown();
  ObjectMapEntry map[2] = {{&CLSID_IENubrix, FailingUpdate, nullptr, nullptr, nullptr},
                           {nullptr, nullptr, nullptr, nullptr, nullptr}};
  ModuleStartup(map, ModuleOfAddress(&kTestModuleAnchor));
  EXPECT_EQ(DllRegisterServer(), DISP_E_EXCEPTION);
  EXPECT_FALSE(ClassesKeyExists("TypeLib\\{5A1C7E22-0B4D-4E62-8F93-2C6B0D1E7A45}"))
      << "the type library is registered only after the script";
  EXPECT_EQ(DllUnregisterServer(), S_OK);
  ModuleShutdown();
  ModuleStartup(LibraryObjectMap(), ModuleOfAddress(&kTestModuleAnchor));
}

HRESULT ThrowingUpdate(bool) { throw std::bad_alloc(); }

TEST_F(RegistrationTest, AnExceptionInRegistrationBecomesAResultCode) {
  ModuleShutdown();
  ObjectMapEntry map[2] = {{&CLSID_IENubrix, ThrowingUpdate, nullptr, nullptr, nullptr},
                           {nullptr, nullptr, nullptr, nullptr, nullptr}};
  ModuleStartup(map, ModuleOfAddress(&kTestModuleAnchor));
  EXPECT_EQ(DllRegisterServer(), E_OUTOFMEMORY);
  EXPECT_FALSE(ClassesKeyExists("TypeLib\\{5A1C7E22-0B4D-4E62-8F93-2C6B0D1E7A45}"));
  EXPECT_EQ(DllUnregisterServer(), S_OK);
  ModuleShutdown();
  ModuleStartup(LibraryObjectMap(), ModuleOfAddress(&kTestModuleAnchor));
}

TEST_F(RegistrationTest, ModulePathIsNeverCut) {
  // The module is the test program; whatever its length, the whole path or
  // a failure comes back, never a prefix.
  std::string path;
  ASSERT_EQ(GetModulePath(Module().instance, &path), S_OK);
  EXPECT_EQ(path, ModuleFileName(Module().instance));
  HMODULE nowhere = reinterpret_cast<HMODULE>(static_cast<uintptr_t>(16));
  path = "unchanged";
  EXPECT_TRUE(FAILED(GetModulePath(nowhere, &path)));
  EXPECT_EQ(path, "");
}

}  // namespace
}  // namespace velquor::test
