#include "engine/replacement_markup.h"

#include <cstdio>
#include <string>
#include <utility>
#include <vector>

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
      case ' ':
      case '\t':
      case '\n':
      case '\r':
      case '\f':
      case '\v':
      case '\'':
      case '"':
      case '=':
      case '<':
      case '>':
      case '`':
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

// The markup being built: the template's own text, cut into pieces by the
// values inserted so far. Only the template's pieces are searched for
// placeholders, so a value taken from the page is never expanded by a later
// placeholder, and no placeholder is formed across a value's edge.
class Markup {
 public:
  explicit Markup(std::string template_text) {
    pieces_.push_back({std::move(template_text), true});
  }

  // Replaces every `placeholder` in the template's text by `value`; nothing
  // when the value holds the placeholder itself.
  void Fill(const std::string& placeholder, const std::string& value) {
    if (value.find(placeholder) != std::string::npos) return;
    std::vector<Piece> filled;
    filled.reserve(pieces_.size());
    for (Piece& piece : pieces_) {
      if (!piece.from_template) {
        filled.push_back(std::move(piece));
        continue;
      }
      size_t from = 0;
      for (size_t found = piece.text.find(placeholder); found != std::string::npos;
           found = piece.text.find(placeholder, from)) {
        filled.push_back({piece.text.substr(from, found - from), true});
        filled.push_back({value, false});
        from = found + placeholder.size();
      }
      filled.push_back({piece.text.substr(from), true});
    }
    pieces_ = std::move(filled);
  }

  std::string Text() const {
    std::string out;
    for (const Piece& piece : pieces_) out += piece.text;
    return out;
  }

 private:
  struct Piece {
    std::string text;
    bool from_template;
  };
  std::vector<Piece> pieces_;
};

}  // namespace

std::string BuildReplacementMarkup(const std::string& segment, int32_t height, int32_t width) {
  Markup markup(ReadTextSetting(kReplaceHtml, LoadResourceString(kDefaultTemplateString)));
  if (height > 0) markup.Fill("%HEIGHT%", SizeValue("HEIGHT", height));
  if (width > 0) markup.Fill("%WIDTH%", SizeValue("WIDTH", width));

  const std::string target = ReadTextAttribute(segment, "HREF");
  markup.Fill("%HREF%", HrefValue(target));
  markup.Fill("%TEXT%", TextValue(segment, target));
  markup.Fill("%DIR%", ReadTextSetting(kInstallDir, ""));

  std::string server = UrlServer(target);
  if (server.empty()) server = "&iquest;Server?";
  markup.Fill("%SERVER%", server);

  markup.Fill("%ALIGN%", QuotedAttribute("ALIGN", ReadTextAttribute(segment, "ALIGN")));
  markup.Fill("%ID%", QuotedAttribute("ID", ReadTextAttribute(segment, "ID")));
  markup.Fill("%CLASS%", QuotedAttribute("CLASS", ReadTextAttribute(segment, "CLASS")));
  markup.Fill("%VSPACE%", SpacingAttribute("VSPACE", ReadTextAttribute(segment, "VSPACE")));
  markup.Fill("%HSPACE%", SpacingAttribute("HSPACE", ReadTextAttribute(segment, "HSPACE")));
  return markup.Text();
}

}  // namespace velquor
