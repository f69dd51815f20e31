#include "engine/replacement_markup.h"

#include <cstdio>

#include "platform/resources.h"
#include "settings/store.h"
#include "text/text_helpers.h"

namespace velquor {
namespace {

// " NAME=<n>" for a positive size; "" otherwise (the placeholder then stays).
std::string SizeValue(const char* name, int32_t size) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, " %s=%i", name, static_cast<int>(size));
  return buffer;
}

// Single quotes inside a single-quoted attribute value, as the browser reads
// them back: the value stays one value.
std::string EscapeSingleQuotes(const std::string& value) {
  std::string out;
  out.reserve(value.size());
  for (char c : value) {
    if (c == '\'') {
      out += "&#39;";
    } else {
      out += c;
    }
  }
  return out;
}

// " NAME='value'" for a value read from the segment, "" when it is absent.
std::string QuotedAttribute(const char* name, const std::string& value) {
  if (value.empty()) return std::string();
  return std::string(" ") + name + "='" + EscapeSingleQuotes(value) + "'";
}

// Bytes that would end an unquoted attribute value or start a new attribute.
bool NeedsQuotes(const std::string& value) {
  for (char c : value) {
    switch (c) {
      case ' ': case '\t': case '\n': case '\r': case '\f': case '\v':
      case '\'': case '"': case '=': case '<': case '>': case '`':
        return true;
      default:
        break;
    }
  }
  return false;
}

// " NAME=value" unquoted as the page wrote it when that is safe, else quoted.
std::string SpacingAttribute(const char* name, const std::string& value) {
  if (value.empty()) return std::string();
  if (NeedsQuotes(value)) return QuotedAttribute(name, value);
  return std::string(" ") + name + "=" + value;
}

// The " HREF=..." value: the target in whichever quote it does not hold; ""
// when it holds both, is empty, or mentions "write" (a script's own link).
std::string HrefValue(const std::string& target) {
  if (ContainsNoCase(target, "write") || target.empty()) return std::string();
  if (target.find('\'') == std::string::npos) return " HREF='" + target + "'";
  if (target.find('"') == std::string::npos) return " HREF=\"" + target + "\"";
  return std::string();
}

// The link's text as element content: the first non-empty of ALT, the
// visible text and the server, else "*Unknown*"; cut to kTextCut bytes, then
// with "<" and ">" as entities so that it cannot open or close a tag.
std::string TextValue(const std::string& segment, const std::string& target) {
  std::string text = ReadTextAttribute(segment, "ALT");
  if (IsEmptyText(text)) text = VisibleLinkText(segment);
  if (IsEmptyText(text)) text = UrlServer(target);
  if (IsEmptyText(text)) text = "*Unknown*";
  if (text.size() > kTextCut) text = text.substr(0, kTextCut - 3) + "...";
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    if (c == '<') {
      out += "&lt;";
    } else if (c == '>') {
      out += "&gt;";
    } else {
      out += c;
    }
  }
  return out;
}

}  // namespace

std::string BuildReplacementMarkup(const std::string& segment, int32_t height,
                                   int32_t width) {
  // Each step works on the text built so far, so a value inserted earlier
  // (an ALT text holding "%DIR%", say) is filled in by a later step.
  std::string markup = ReadTextSetting(
      kReplaceHtml, LoadResourceString(kDefaultTemplateString));
  if (height > 0) markup = ReplaceAll(markup, "%HEIGHT%", SizeValue("HEIGHT", height));
  if (width > 0) markup = ReplaceAll(markup, "%WIDTH%", SizeValue("WIDTH", width));

  const std::string target = ReadTextAttribute(segment, "HREF");
  markup = ReplaceAll(markup, "%HREF%", HrefValue(target));
  markup = ReplaceAll(markup, "%TEXT%", TextValue(segment, target));
  markup = ReplaceAll(markup, "%DIR%", ReadTextSetting(kInstallDir, ""));

  std::string server = UrlServer(target);
  if (server.empty()) server = "&iquest;Server?";
  markup = ReplaceAll(markup, "%SERVER%", server);

  markup = ReplaceAll(markup, "%ALIGN%",
                      QuotedAttribute("ALIGN", ReadTextAttribute(segment, "ALIGN")));
  markup = ReplaceAll(markup, "%ID%",
                      QuotedAttribute("ID", ReadTextAttribute(segment, "ID")));
  markup = ReplaceAll(markup, "%CLASS%",
                      QuotedAttribute("CLASS", ReadTextAttribute(segment, "CLASS")));
  markup = ReplaceAll(markup, "%VSPACE%",
                      SpacingAttribute("VSPACE", ReadTextAttribute(segment, "VSPACE")));
  markup = ReplaceAll(markup, "%HSPACE%",
                      SpacingAttribute("HSPACE", ReadTextAttribute(segment, "HSPACE")));
  return markup;
}

}  // namespace velquor
