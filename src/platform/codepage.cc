#include "platform/codepage.h"

#include "platform/error_info.h"

namespace {

// UTF-16 units of bytes 0x80-0x9F; the rest of the code page is Latin-1.
// Unassigned bytes map to the C1 control of the same value.
constexpr char16_t kHighControls[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

char16_t ToWide(unsigned char byte) {
  if (byte >= 0x80 && byte <= 0x9F) return kHighControls[byte - 0x80];
  return static_cast<char16_t>(byte);
}

// The byte for `unit`, or -1 when the code page has none.
int ToByte(char16_t unit) {
  if (unit < 0x80 || (unit >= 0xA0 && unit <= 0xFF)) return unit;
  for (int i = 0; i < 32; ++i) {
    if (kHighControls[i] == unit) return 0x80 + i;
  }
  return -1;
}

bool KnownCodePage(UINT code_page) { return code_page == CP_ACP || code_page == kCodePage1252; }

int Fail(DWORD code) {
  SetLastError(code);
  return 0;
}

}  // namespace

int MultiByteToWideChar(UINT code_page, DWORD flags, LPCSTR multi, int multi_size, LPWSTR wide,
                        int wide_size) {
  if (!KnownCodePage(code_page) || multi == nullptr || multi_size == 0 || multi_size < -1 ||
      wide_size < 0 || (wide == nullptr && wide_size > 0)) {
    return Fail(ERROR_INVALID_PARAMETER);
  }
  if (flags != 0) return Fail(ERROR_INVALID_FLAGS);
  std::size_t count = 0;
  if (multi_size == -1) {
    while (multi[count] != '\0') ++count;
    ++count;  // the zero is converted too
  } else {
    count = static_cast<std::size_t>(multi_size);
  }
  if (count > 0x7FFFFFFF) return Fail(ERROR_INVALID_PARAMETER);
  if (wide_size == 0) return static_cast<int>(count);
  if (count > static_cast<std::size_t>(wide_size)) {
    return Fail(ERROR_INSUFFICIENT_BUFFER);
  }
  for (std::size_t i = 0; i < count; ++i) {
    wide[i] = ToWide(static_cast<unsigned char>(multi[i]));
  }
  return static_cast<int>(count);
}

int WideCharToMultiByte(UINT code_page, DWORD flags, LPCWSTR wide, int wide_size, LPSTR multi,
                        int multi_size, LPCSTR default_char, BOOL* used_default) {
  if (!KnownCodePage(code_page) || wide == nullptr || wide_size == 0 || wide_size < -1 ||
      multi_size < 0 || (multi == nullptr && multi_size > 0)) {
    return Fail(ERROR_INVALID_PARAMETER);
  }
  if (flags != 0) return Fail(ERROR_INVALID_FLAGS);
  std::size_t count = 0;
  if (wide_size == -1) {
    while (wide[count] != 0) ++count;
    ++count;
  } else {
    count = static_cast<std::size_t>(wide_size);
  }
  if (count > 0x7FFFFFFF) return Fail(ERROR_INVALID_PARAMETER);
  if (multi_size != 0 && count > static_cast<std::size_t>(multi_size)) {
    return Fail(ERROR_INSUFFICIENT_BUFFER);
  }
  const char fallback = default_char != nullptr ? *default_char : '?';
  bool defaulted = false;
  for (std::size_t i = 0; i < count; ++i) {
    const int byte = ToByte(wide[i]);
    if (byte < 0) defaulted = true;
    if (multi_size != 0) {
      multi[i] = byte < 0 ? fallback : static_cast<char>(byte);
    }
  }
  if (used_default != nullptr) *used_default = defaulted ? 1 : 0;
  return static_cast<int>(count);
}

LPSTR CharNextA(LPCSTR current) {
  if (current == nullptr) return nullptr;
  return const_cast<LPSTR>(*current == '\0' ? current : current + 1);
}

namespace velquor {

std::string AnsiFromWide(const char16_t* text) {
  std::string out;
  if (text == nullptr) return out;
  for (const char16_t* p = text; *p != 0; ++p) {
    const int byte = ToByte(*p);
    out.push_back(byte < 0 ? '?' : static_cast<char>(byte));
  }
  return out;
}

std::u16string WideFromAnsi(const std::string& text) {
  std::u16string out;
  out.reserve(text.size());
  for (const char c : text) out.push_back(ToWide(static_cast<unsigned char>(c)));
  return out;
}

}  // namespace velquor
