// ASCII letter case, the one way every unit folds it: key paths and value
// names, resource types, file names, keywords and attribute names compare
// without regard to the case of a-z and A-Z alone. No locale is consulted;
// bytes outside the two letter ranges stay as they are. Hexadecimal digits
// are read here too.
//
// Pure functions, safe on any thread.
#ifndef VELQUOR_PLATFORM_ASCII_H_
#define VELQUOR_PLATFORM_ASCII_H_

#include <cstddef>
#include <string_view>

namespace velquor {

// `c` with a-z turned into A-Z; every other byte unchanged.
constexpr char AsciiUpper(char c) {
  return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

// `c` with A-Z turned into a-z; every other byte unchanged.
constexpr char AsciiLower(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

// The value of the hexadecimal digit `c` (0-9, a-f, A-F), or -1 for any
// other byte.
constexpr int AsciiHexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// True when `a` and `b` have the same length and the same bytes once a-z is
// folded onto A-Z.
constexpr bool AsciiEqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (AsciiUpper(a[i]) != AsciiUpper(b[i])) return false;
  }
  return true;
}

}  // namespace velquor

#endif  // VELQUOR_PLATFORM_ASCII_H_
