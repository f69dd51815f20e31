// The system's registrar component on the unregistration shapes that our
// Linux registrar must treat the same way.
#include <gtest/gtest.h>

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

// Registers, adds the foreign values, unregisters and compares what is left,
// in the profile of the caller.
void CheckShape(const test::UnregisterCase& c) {
  IRegistrar* registrar = nullptr;
  ASSERT_EQ(CoCreateInstance(CLSID_Registrar, nullptr, CLSCTX_INPROC_SERVER, IID_IRegistrar,
                             reinterpret_cast<void**>(&registrar)),
            S_OK);
  const std::wstring script = Wide(c.script);
  EXPECT_EQ(registrar->StringRegister(script.c_str()), S_OK) << c.label;
  for (const test::ForeignValue& v : c.foreign) {
    if (v.key != nullptr) WriteTestText(HKEY_CLASSES_ROOT, v.key, v.name, v.text);
  }
  EXPECT_EQ(registrar->StringUnregister(script.c_str()), S_OK) << c.label;
  EXPECT_EQ(DumpTree(HKEY_CLASSES_ROOT), c.left) << c.label;
  registrar->Release();
}

TEST(SystemRegistrarTest, UnregistrationShapes) {
  ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
  for (const test::UnregisterCase& c : test::kUnregisterCases) {
    TempProfile profile;
    ASSERT_TRUE(profile.Create()) << "cannot make a temporary profile";
    CheckShape(c);
    profile.Remove();
  }
  CoUninitialize();
}

}  // namespace
}  // namespace velquor
