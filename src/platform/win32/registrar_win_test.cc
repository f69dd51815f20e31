// The system's registrar component on the unregistration shapes that our
// Linux registrar must treat the same way.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "platform/registrar.h"
#include "platform/registrar_cases.h"
#include "platform/testing_profile.h"
#include "platform/testing_registry.h"

namespace velquor {
namespace {

std::wstring Wide(const char* text) {
  std::wstring out;
  for (const char* p = text; *p != '\0'; ++p) out += static_cast<wchar_t>(*p);
  return out;
}

TEST(SystemRegistrarTest, UnregistrationShapes) {
  ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
  for (const test::UnregisterCase& c : test::kUnregisterCases) {
    test::ScopedTestProfile profile;
    profile.Open("registrar");
    IRegistrar* registrar = nullptr;
    ASSERT_EQ(CoCreateInstance(CLSID_Registrar, nullptr, CLSCTX_INPROC_SERVER, IID_IRegistrar,
                               reinterpret_cast<void**>(&registrar)),
              S_OK);
    const std::wstring script = Wide(c.script);
    ASSERT_EQ(registrar->StringRegister(script.c_str()), S_OK) << c.label;
    for (const test::ForeignValue& v : c.foreign) {
      if (v.key == nullptr) continue;
      ScopedKey key;
      ASSERT_EQ(RegCreateKeyExA(HKEY_CLASSES_ROOT, v.key, 0, nullptr, 0, KEY_ALL_ACCESS,
                                nullptr, key.Out(), nullptr),
                ERROR_SUCCESS);
      ASSERT_EQ(RegSetValueExA(key.get(), v.name, 0, REG_SZ,
                               reinterpret_cast<const BYTE*>(v.text),
                               static_cast<DWORD>(std::strlen(v.text) + 1)),
                ERROR_SUCCESS);
    }
    EXPECT_EQ(registrar->StringUnregister(script.c_str()), S_OK) << c.label;
    EXPECT_EQ(DumpTree(HKEY_CLASSES_ROOT), c.left) << c.label;
    registrar->Release();
  }
  CoUninitialize();
}

}  // namespace
}  // namespace velquor
