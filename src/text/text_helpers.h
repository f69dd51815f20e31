// The tag attribute reader and the small text helpers that the judges, the
// scores, the replacement markup and the rules loader share. The engine does
// not parse HTML: it looks at a segment as plain bytes and pulls single
// attribute values out of it with a small, tolerant reader.
//
// Every function is a pure function of its arguments: it takes texts by
// reference, never alters them, and returns new values. Safe to call from any
// thread. Texts are bytes in the ANSI code page (Windows-1252) and may hold
// zero bytes; upper-casing changes only a-z and never a text's length, so a
// position found in an upper-cased copy is valid in the original.
#ifndef VELQUOR_TEXT_TEXT_HELPERS_H_
#define VELQUOR_TEXT_TEXT_HELPERS_H_

#include <cstdint>
#include <string>
#include <string_view>

namespace velquor {

// Reads the value of attribute `name` from `text` as a number. The name is
// searched case-sensitively, first occurrence only (callers pass upper-cased
// texts and names). A value "#..." is read as hexadecimal, any other as
// decimal; an absent attribute or a value without digits gives 0, and a value
// beyond the signed 32-bit range saturates.
int32_t ReadNumberAttribute(std::string_view text, std::string_view name);

// Reads the value of attribute `name` from `text`, the name searched without
// regard to ASCII case (first occurrence only); the value keeps its own letter
// case. Quoted values run to the same quote (or the end), unquoted ones to the
// first space or ">". Returns the trimmed value, or "" when absent.
std::string ReadTextAttribute(const std::string& text, const std::string& name);

// The value ReadTextAttribute gives, as a view into `text` (valid while
// `text` is); for callers that only compare or copy it once.
std::string_view ReadTextAttributeView(std::string_view text, std::string_view name);

// The same for a judged copy (JudgedCopy) and an upper-case `name`: its
// letters are upper case already, so the name is found by a plain search.
std::string_view ReadJudgedAttributeView(std::string_view judged, std::string_view name);

// The characters of `text` that stand outside tags (quotes inside a tag hide
// "<" and ">"), trimmed; "" when that text contains "write" in any case.
std::string VisibleLinkText(const std::string& text);

// The host name of an "http:" or "ftp:" link target (scheme tested without
// regard to case, after up to 50 leading white-space bytes); "" for any other
// target or one that the URL services cannot split.
std::string UrlServer(const std::string& url);

// True when `text` has no characters or its first byte is zero.
bool IsEmptyText(const std::string& text);

// True when `text`, after skipping leading white space among its first
// prefix-length + 50 bytes, begins with `prefix` ignoring ASCII case. An empty
// prefix always gives true.
bool StartsWithNoCase(const std::string& text, const std::string& prefix);

// True when `needle` occurs in `text` ignoring ASCII case; an empty needle
// always gives true.
bool ContainsNoCase(const std::string& text, const std::string& needle);

// Replaces every occurrence of `placeholder` in `text` by `replacement`, in
// one pass from left to right; inserted text is not searched again within the
// call. Returns `text` unchanged when `placeholder` is empty or `replacement`
// contains it. Linear in the size of the result.
std::string ReplaceAll(const std::string& text, const std::string& placeholder,
                       const std::string& replacement);

// Returns `text` with every byte `from` turned into `to`.
std::string ReplaceChar(const std::string& text, char from, char to);

// Shared small helpers.

// True for space, \t, \n, \v, \f and \r.
inline bool IsTrimSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// `text` without white space (IsTrimSpace) at either end.
std::string Trim(const std::string& text);

// A copy of `text` with a-z turned into A-Z; every other byte unchanged.
std::string UpperCase(const std::string& text);
void UpperCaseInPlace(std::string& text);

// True when `a` and `b` are equal after mapping ASCII letters to one case;
// every other byte must match exactly.
bool EqualsNoCase(const std::string& a, const std::string& b);

// Skips leading white space, reads an optional + or - and the digits up to the
// first non-digit. No digits gives 0; a value beyond the signed 32-bit range
// saturates at INT32_MIN or INT32_MAX.
int32_t ReadDecimal(std::string_view text);

// Reads hexadecimal digits (0-9, A-F, a-f) up to the first other byte. No
// digits gives 0; a value beyond INT32_MAX saturates at INT32_MAX.
int32_t ReadHexadecimal(std::string_view text);

// The judged copy of a segment, the text every judge search and score works
// on: upper-cased, with CR, LF and tab turned into spaces.
std::string JudgedCopy(const std::string& segment);

// The same into `*out`, whose room is used again: no allocation once it has
// held a segment as long.
void JudgedCopyInto(std::string_view segment, std::string* out);

}  // namespace velquor

#endif  // VELQUOR_TEXT_TEXT_HELPERS_H_
