// Conversions between the ANSI code page and UTF-16, as the server uses them
// for module paths and the registrar and type library for their texts.
//
// The ANSI code page of this platform is Windows-1252. Every one of its 256
// bytes maps to one UTF-16 unit (the five bytes the code page leaves
// unassigned, 0x81 0x8D 0x8F 0x90 0x9D, map to U+0081 and so on), so any byte
// string, a UTF-8 file path included, survives a round trip unchanged.
// Stateless; safe on any thread.
#ifndef VELQUOR_PLATFORM_CODEPAGE_H_
#define VELQUOR_PLATFORM_CODEPAGE_H_

#include <string>

#include "velquor/types.h"

// On Windows the conversions are the system's, in its ANSI code page.
#if !defined(_WIN32)
constexpr UINT CP_ACP = 0;
constexpr UINT kCodePage1252 = 1252;

// Converts `multi_size` bytes of `multi` (-1: up to and including its zero
// byte) to UTF-16 in `wide`. With wide_size 0 returns the number of units
// needed and writes nothing. Returns the units written, or 0 on failure with
// GetLastError set: ERROR_INSUFFICIENT_BUFFER when `wide` is too small,
// ERROR_INVALID_PARAMETER for an unknown code page, null text or size 0,
// ERROR_INVALID_FLAGS for flags other than 0.
int MultiByteToWideChar(UINT code_page, DWORD flags, LPCSTR multi, int multi_size, LPWSTR wide,
                        int wide_size);

// Converts `wide_size` units of `wide` (-1: up to and including its zero) to
// the code page in `multi`. A unit the code page lacks becomes `default_char`
// (or '?') and sets *used_default (if given) to 1. Sizes, results and
// failures as MultiByteToWideChar.
int WideCharToMultiByte(UINT code_page, DWORD flags, LPCWSTR wide, int wide_size, LPSTR multi,
                        int multi_size, LPCSTR default_char, BOOL* used_default);

// The next character after `current`: one byte on, since the code page has
// no double-byte characters, but never past the terminating zero.
LPSTR CharNextA(LPCSTR current);

namespace velquor {

// `text` (zero-terminated; null: "") in the ANSI code page; a unit the code
// page lacks becomes '?'.
std::string AnsiFromWide(const char16_t* text);

// `text`, every byte included, as UTF-16 units.
std::u16string WideFromAnsi(const std::string& text);

}  // namespace velquor
#endif  // !_WIN32

#endif  // VELQUOR_PLATFORM_CODEPAGE_H_
