// Helpers for tests that write the registry: a fresh profile directory per
// test, and a dump of a registry tree as text, one line per key and value,
// so that a test can compare everything a run wrote at once. Test code only.
#ifndef VELQUOR_PLATFORM_TESTING_REGISTRY_H_
#define VELQUOR_PLATFORM_TESTING_REGISTRY_H_

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "platform/registry.h"

namespace velquor {

#if !defined(_WIN32)
// A test whose registry lives in its own temporary profile directory.
class TempProfileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/velquor-com-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    setenv("VELQUOR_HOME", (dir_ + "/profile").c_str(), 1);
    CloseRegistry();
  }
  void TearDown() override {
    CloseRegistry();
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }
  std::string dir_;
};
#endif  // !_WIN32

// Lines "path" for each key and "path [name] = type:data" for each value
// ("@" for the default value), children in the registry's order, for the
// tree below `key` (`path` is the prefix printed for it).
inline void DumpInto(HKEY key, const std::string& path, std::string* out) {
  for (DWORD i = 0;; ++i) {
    char name[512];
    DWORD name_size = sizeof name;
    BYTE data[4096];
    DWORD data_size = sizeof data;
    DWORD type = 0;
    if (RegEnumValueA(key, i, name, &name_size, nullptr, &type, data, &data_size) !=
        ERROR_SUCCESS) {
      break;
    }
    std::string text;
    if (type == REG_SZ) {
      text.assign(reinterpret_cast<char*>(data), data_size);
      if (!text.empty() && text.back() == '\0') {
        text.pop_back();
      } else {
        text += "<no zero>";
      }
    } else {
      for (DWORD b = 0; b < data_size; ++b) {
        char hex[4];
        std::snprintf(hex, sizeof hex, "%02x", data[b]);
        text += hex;
      }
    }
    *out += path + " [" + (name_size == 0 ? std::string("@") : std::string(name, name_size)) +
            "] = " + std::to_string(type) + ":" + text + "\n";
  }
  for (DWORD i = 0;; ++i) {
    char name[512];
    DWORD name_size = sizeof name;
    if (RegEnumKeyExA(key, i, name, &name_size, nullptr, nullptr, nullptr, nullptr) !=
        ERROR_SUCCESS) {
      break;
    }
    const std::string child(name, name_size);
    const std::string child_path = path.empty() ? child : path + "\\" + child;
    *out += child_path + "\n";
    HKEY sub = nullptr;
    if (RegOpenKeyExA(key, child.c_str(), 0, KEY_READ, &sub) == ERROR_SUCCESS) {
      DumpInto(sub, child_path, out);
      RegCloseKey(sub);
    }
  }
}

inline std::string DumpTree(HKEY root) {
  std::string out;
  DumpInto(root, "", &out);
  return out;
}

}  // namespace velquor

#endif  // VELQUOR_PLATFORM_TESTING_REGISTRY_H_
