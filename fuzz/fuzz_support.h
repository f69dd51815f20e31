// Helpers shared by the fuzz targets: a reader that takes a target's options
// from the front of its input, so that every run is decided by the input bytes
// alone; a private profile directory for the targets that write the registry;
// a text dump of the registry and a way to empty it between runs; and the
// loud failure that libFuzzer and the replay driver both report as a crash.
//
// Header-only; each fuzz target runs single-threaded, one input at a time.
#ifndef VELQUOR_FUZZ_FUZZ_SUPPORT_H_
#define VELQUOR_FUZZ_FUZZ_SUPPORT_H_

#include <stdlib.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>

#include "platform/registry.h"
#include "platform/testing_profile.h"

namespace velquor::fuzz {

// Reports a broken property with the values that broke it and aborts, which
// both libFuzzer and the replay driver record as a failure of the input.
[[noreturn]] inline void Fail(const std::string& what, const std::string& detail = "") {
  std::fprintf(stderr, "fuzz property broken: %s\n", what.c_str());
  if (!detail.empty()) std::fprintf(stderr, "%s\n", detail.c_str());
  std::fflush(stderr);
  std::abort();
}

// Takes options from the front of an input; past its end every read gives 0,
// so short inputs are valid too.
class InputReader {
 public:
  InputReader(const uint8_t* data, std::size_t size) : data_(data), size_(size) {}

  uint8_t Byte() { return pos_ < size_ ? data_[pos_++] : 0; }

  // The next `n` bytes (fewer at the end) as text.
  std::string Take(std::size_t n) {
    const std::size_t left = size_ - pos_;
    if (n > left) n = left;
    std::string out(reinterpret_cast<const char*>(data_ + pos_), n);
    pos_ += n;
    return out;
  }

  // A text whose length is given by the next byte.
  std::string ShortText() { return Take(Byte()); }

  // Everything not yet taken.
  std::string Rest() { return Take(size_ - pos_); }

 private:
  const uint8_t* data_;
  std::size_t size_;
  std::size_t pos_ = 0;
};

// Points the registry at a fresh profile under $TMPDIR (or /tmp) for the
// rest of the process and removes it at exit. Call before the first registry
// call. Returns the temporary directory that holds the profile, for files.
inline const std::string& UsePrivateProfile() {
  static TempProfile profile;
  static const std::string& dir = []() -> const std::string& {
    if (!profile.Create()) Fail("cannot create a profile directory");
    std::atexit([] { profile.Remove(); });
    return profile.dir;
  }();
  return dir;
}

// One line per key ("path") and per value ("path [name] = type:hex bytes"),
// children in the registry's own order, below `key`.
inline void DumpKey(HKEY key, const std::string& path, std::string* out) {
  static const char kHex[] = "0123456789abcdef";
  for (DWORD i = 0;; ++i) {
    char name[1024];
    DWORD name_size = sizeof name;
    DWORD type = 0;
    DWORD data_size = 0;
    if (RegEnumValueA(key, i, name, &name_size, nullptr, &type, nullptr, &data_size) !=
        ERROR_SUCCESS) {
      break;
    }
    std::string data(data_size, '\0');
    name_size = sizeof name;
    if (RegEnumValueA(key, i, name, &name_size, nullptr, &type,
                      reinterpret_cast<BYTE*>(data.data()), &data_size) != ERROR_SUCCESS) {
      Fail("a listed value cannot be read", path + " #" + std::to_string(i));
    }
    data.resize(data_size);
    *out += path + " [" + std::string(name, name_size) + "] = " + std::to_string(type) + ":";
    for (unsigned char c : data) {
      out->push_back(kHex[c >> 4]);
      out->push_back(kHex[c & 15]);
    }
    out->push_back('\n');
  }
  for (DWORD i = 0;; ++i) {
    char name[1024];
    DWORD name_size = sizeof name;
    if (RegEnumKeyExA(key, i, name, &name_size, nullptr, nullptr, nullptr, nullptr) !=
        ERROR_SUCCESS) {
      break;
    }
    const std::string child(name, name_size);
    const std::string child_path = path + "\\" + child;
    *out += child_path + "\n";
    HKEY sub = nullptr;
    if (RegOpenKeyExA(key, child.c_str(), 0, KEY_READ, &sub) != ERROR_SUCCESS) {
      Fail("a listed key cannot be opened", child_path);
    }
    DumpKey(sub, child_path, out);
    RegCloseKey(sub);
  }
}

// Both roots of the registry as text.
inline std::string DumpRegistry() {
  std::string out;
  DumpKey(HKEY_CURRENT_USER, "HKCU", &out);
  DumpKey(HKEY_CLASSES_ROOT, "HKCR", &out);
  return out;
}

// Deletes every subkey of `key` with everything below it, and its values.
inline void EmptyKey(HKEY key) {
  for (;;) {
    char name[1024];
    DWORD name_size = sizeof name;
    if (RegEnumKeyExA(key, 0, name, &name_size, nullptr, nullptr, nullptr, nullptr) !=
        ERROR_SUCCESS) {
      break;
    }
    const std::string child(name, name_size);
    HKEY sub = nullptr;
    if (RegOpenKeyExA(key, child.c_str(), 0, KEY_ALL_ACCESS, &sub) != ERROR_SUCCESS) {
      Fail("a listed key cannot be opened for deletion", child);
    }
    EmptyKey(sub);
    RegCloseKey(sub);
    if (RegDeleteKeyA(key, child.c_str()) != ERROR_SUCCESS) Fail("cannot delete key", child);
  }
  for (;;) {
    char name[1024];
    DWORD name_size = sizeof name;
    if (RegEnumValueA(key, 0, name, &name_size, nullptr, nullptr, nullptr, nullptr) !=
        ERROR_SUCCESS) {
      break;
    }
    if (RegDeleteValueA(key, std::string(name, name_size).c_str()) != ERROR_SUCCESS) {
      Fail("cannot delete value", std::string(name, name_size));
    }
  }
}

// Leaves both roots empty, so that the next input starts from nothing.
inline void EmptyRegistry() {
  EmptyKey(HKEY_CURRENT_USER);
  EmptyKey(HKEY_CLASSES_ROOT);
  const std::string left = DumpRegistry();
  if (!left.empty()) Fail("the registry could not be emptied", left);
}

}  // namespace velquor::fuzz

// The libFuzzer entry points of a target whose only set-up is a private
// profile: each input goes to `test_input(data, size)`.
#define VELQUOR_FUZZ_TARGET_IN_PRIVATE_PROFILE(test_input)                  \
  extern "C" int LLVMFuzzerInitialize(int*, char***) {                      \
    velquor::fuzz::UsePrivateProfile();                                     \
    return 0;                                                               \
  }                                                                         \
  extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) { \
    test_input(data, size);                                                 \
    return 0;                                                               \
  }

#endif  // VELQUOR_FUZZ_FUZZ_SUPPORT_H_
