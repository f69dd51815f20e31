// Fuzz target: the registrar's script runner, in register mode and then in
// unregister mode, over a registry that holds a few keys of its own.
//
// Input: a byte whose low bits give how many replacements follow (each a
// name and a text, length-prefixed), then the script. Properties beyond no
// crash and no hang: a run that fails, in either mode, leaves the registry
// exactly as it was (a run is one transaction).
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz_support.h"
#include "platform/registrar.h"

namespace velquor::fuzz {
namespace {

void SetText(HKEY root, const char* path, const char* name, const std::string& text) {
  HKEY key = nullptr;
  if (RegCreateKeyExA(root, path, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr) !=
      ERROR_SUCCESS) {
    Fail("cannot create a key", path);
  }
  const std::string data = text + '\0';
  if (RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(data.data()),
                     static_cast<DWORD>(data.size())) != ERROR_SUCCESS) {
    Fail("cannot set a value", path);
  }
  RegCloseKey(key);
}

// What each run starts from: another class registered beside ours, and a
// setting of the current user.
void WriteBase() {
  SetText(HKEY_CLASSES_ROOT, "CLSID\\{0F0E0D0C-0B0A-0908-0706-050403020100}", nullptr, "other");
  SetText(HKEY_CURRENT_USER, "Software\\Morvanet\\Velquor\\Config", "InstallDir", "C:\\V");
}

// Runs `script` and checks that a failure changed nothing.
HRESULT RunChecked(const std::string& script, const ReplacementMap& map, bool register_mode) {
  const std::string before = DumpRegistry();
  const HRESULT hr = RunRegistrarScript(script, map, register_mode);
  if (FAILED(hr)) {
    const std::string after = DumpRegistry();
    if (after != before) {
      Fail(std::string("a failed ") + (register_mode ? "register" : "unregister") +
               " run changed the registry",
           "before:\n" + before + "after:\n" + after);
    }
  }
  return hr;
}

// One input through the target's properties.
void TestInput(const uint8_t* data, std::size_t size) {
  InputReader in(data, size);
  ReplacementMap map;
  map.Add("MODULE", "/usr/lib/libvelquor.so");
  for (int n = in.Byte() % 4; n > 0; --n) {
    const std::string name = in.ShortText();
    map.Add(name, in.ShortText());
  }
  const std::string script = in.Rest();

  EmptyRegistry();
  WriteBase();
  // Unregistering runs whether or not registering worked, as an uninstall
  // after a failed install would.
  RunChecked(script, map, true);
  RunChecked(script, map, false);
  EmptyRegistry();
}

}  // namespace
}  // namespace velquor::fuzz

VELQUOR_FUZZ_TARGET_IN_PRIVATE_PROFILE(velquor::fuzz::TestInput)
