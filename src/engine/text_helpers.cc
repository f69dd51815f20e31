#include "engine/text_helpers.h"

namespace velquor {

int32_t ReadNumberAttribute(const std::string&, const std::string&) {
  return 0;
}
std::string ReadTextAttribute(const std::string&, const std::string&) {
  return std::string();
}
std::string VisibleLinkText(const std::string&) { return std::string(); }
std::string UrlServer(const std::string&) { return std::string(); }
bool IsEmptyText(const std::string& text) {
  return text.empty() || text[0] == '\0';
}
bool StartsWithNoCase(const std::string&, const std::string&) { return false; }
bool ContainsNoCase(const std::string&, const std::string&) { return false; }
std::string ReplaceAll(const std::string& text, const std::string&,
                       const std::string&) {
  return text;
}
std::string ReplaceChar(const std::string& text, char, char) { return text; }
bool IsTrimSpace(char) { return false; }
std::string Trim(const std::string& text) { return text; }
std::string UpperCase(const std::string& text) { return text; }
void UpperCaseInPlace(std::string&) {}
bool EqualsNoCase(const std::string& a, const std::string& b) { return a == b; }
int32_t ReadDecimal(const std::string&) { return 0; }
int32_t ReadHexadecimal(const std::string&) { return 0; }
std::string JudgedCopy(const std::string& segment) { return segment; }

}  // namespace velquor
