// Sorting the lines of a list: comments, network rules with their options,
// element-hiding rules, and what a proxy cannot do or a list gets wrong.
#include <libpsl.h>

#include <algorithm>
#include <array>
#include <cstring>

#include "lists/rules.h"

namespace velquor::lists {
namespace {

char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; }

std::string LowerCopy(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = Lower(c);
  return out;
}

bool StartsWith(std::string_view s, std::string_view prefix) {
  return s.size() >= prefix.size() && s.substr(0, prefix.size()) == prefix;
}

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) {
    s.remove_suffix(1);
  }
  return s;
}

struct TypeName {
  const char* name;
  RequestType type;
};

constexpr std::array<TypeName, 17> kTypeNames = {{
    {"other", RequestType::kOther},
    {"script", RequestType::kScript},
    {"image", RequestType::kImage},
    {"stylesheet", RequestType::kStylesheet},
    {"css", RequestType::kStylesheet},
    {"object", RequestType::kObject},
    {"xmlhttprequest", RequestType::kXmlHttpRequest},
    {"xhr", RequestType::kXmlHttpRequest},
    {"fetch", RequestType::kXmlHttpRequest},
    {"subdocument", RequestType::kSubdocument},
    {"frame", RequestType::kSubdocument},
    {"media", RequestType::kMedia},
    {"font", RequestType::kFont},
    {"websocket", RequestType::kWebsocket},
    {"ping", RequestType::kPing},
    {"document", RequestType::kDocument},
    {"popup", RequestType::kPopup},
}};

// Options some lists use that ask for more than blocking or allowing a
// request: a proxy that only blocked would half-apply them.
constexpr std::array<const char*, 16> kUnsupportedOptions = {
    "redirect", "redirect-rule", "csp",     "removeparam", "replace", "rewrite",
    "header",   "permissions",   "method",  "to",          "denyallow", "genericblock",
    "badfilter", "sitekey",      "empty",   "mp4"};

// Procedural operators: they need a script in the page, not a style sheet.
constexpr std::array<const char*, 22> kProcedural = {
    ":has-text(",   ":xpath(",        ":upward(",        ":remove(",       ":-abp-",
    ":matches-css", ":style(",        ":min-text-length(", ":watch-attr(", ":matches-path(",
    ":matches-attr(", ":others(",     ":remove-attr(",   ":remove-class(", ":contains(",
    ":if(",         ":if-not(",       ":nth-ancestor(",  ":matches-media(", ":matches-prop(",
    ":shadow(",     ":spath("};

bool ParseDomains(std::string_view value, char separator, DomainSet* set) {
  std::size_t at = 0;
  while (at <= value.size()) {
    std::size_t end = value.find(separator, at);
    if (end == std::string_view::npos) end = value.size();
    std::string_view entry = Trim(value.substr(at, end - at));
    at = end + 1;
    if (entry.empty()) continue;
    const bool negated = entry.front() == '~';
    if (negated) entry.remove_prefix(1);
    if (entry.empty()) return false;
    for (char c : entry) {
      const unsigned char u = static_cast<unsigned char>(c);
      const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                      c == '.' || c == '-' || c == '_' || c == '*' || c == '[' || c == ']' ||
                      c == ':' || u >= 0x80;
      if (!ok) return false;
    }
    std::string name = LowerCopy(entry);
    if (name.size() > 2 && name.compare(name.size() - 2, 2, ".*") == 0) {
      name.resize(name.size() - 2);
      (negated ? set->exclude_entity : set->include_entity).push_back(std::move(name));
    } else if (name.find('*') != std::string::npos) {
      return false;
    } else {
      (negated ? set->exclude : set->include).push_back(std::move(name));
    }
  }
  for (auto* v : {&set->include, &set->exclude, &set->include_entity, &set->exclude_entity}) {
    std::sort(v->begin(), v->end());
    v->erase(std::unique(v->begin(), v->end()), v->end());
  }
  return set->HasIncludes() || !set->exclude.empty() || !set->exclude_entity.empty();
}

// A selector that could end the style sheet it is put in, or the <style>
// element around it, would let a list write into the page.
bool SafeSelector(std::string_view s) {
  if (s.find_first_of("{}") != std::string_view::npos) return false;
  for (std::size_t i = s.find('<'); i != std::string_view::npos; i = s.find('<', i + 1)) {
    if (i + 1 < s.size() && (s[i + 1] == '/' || s[i + 1] == '!')) return false;
  }
  return true;
}

// Whether a regular expression has a repeated group that itself repeats,
// as in "(a+)+": a backtracking matcher can take exponential time on it.
bool NestedRepetition(std::string_view re) {
  std::vector<bool> stack;  // per open group: whether it holds a repetition
  bool last_group_repeats = false;
  bool in_class = false;
  for (std::size_t i = 0; i < re.size(); ++i) {
    const char c = re[i];
    if (c == '\\') {
      ++i;
      last_group_repeats = false;
      continue;
    }
    if (in_class) {
      if (c == ']') in_class = false;
      continue;
    }
    switch (c) {
      case '[':
        in_class = true;
        last_group_repeats = false;
        break;
      case '(':
        stack.push_back(false);
        break;
      case ')':
        last_group_repeats = !stack.empty() && stack.back();
        if (!stack.empty()) stack.pop_back();
        if (last_group_repeats && !stack.empty()) stack.back() = true;
        continue;
      case '*':
      case '+':
      case '{':
        if (last_group_repeats) return true;
        if (!stack.empty()) stack.back() = true;
        break;
      default:
        break;
    }
    last_group_repeats = false;
  }
  return false;
}

// The longest run of text outside groups and classes that every match of a
// regular expression must contain; "" when there is none for certain (an
// alternation at the top level, say).
std::string RegexLiteral(std::string_view re) {
  std::string best, run;
  int depth = 0;
  bool in_class = false;
  auto flush = [&] {
    if (run.size() > best.size()) best = run;
    run.clear();
  };
  for (std::size_t i = 0; i < re.size(); ++i) {
    const char c = re[i];
    if (in_class) {
      if (c == '\\') ++i;
      else if (c == ']') in_class = false;
      continue;
    }
    if (c == '|' && depth == 0) return "";
    if (c == '(') ++depth;
    if (c == ')') --depth;
    if (depth > 0 || c == ')') {
      flush();
      continue;
    }
    const char next = i + 1 < re.size() ? re[i + 1] : '\0';
    char literal = '\0';
    std::size_t width = 1;
    if (c == '\\' && i + 1 < re.size()) {
      if (std::strchr("./-?:=&_#%+*()[]{}|$^", next) != nullptr) literal = next;
      width = 2;
    } else if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
               c == '/' || c == '-' || c == '_' || c == '=' || c == '&' || c == ':' || c == ',') {
      literal = c;
    } else if (c == '[') {
      in_class = true;
    }
    const char after = i + width < re.size() ? re[i + width] : '\0';
    if (literal == '\0') {
      flush();
    } else if (after == '?' || after == '*' || after == '{') {
      flush();  // the character may be missing
    } else {
      run += Lower(literal);
    }
    i += width - 1;
  }
  flush();
  return best;
}

bool ParseOptions(std::string_view options, NetworkRule* rule, std::string* reason) {
  uint16_t positive = 0, negative = 0;
  bool hiding_only = false;
  std::size_t at = 0;
  while (at <= options.size()) {
    std::size_t end = options.find(',', at);
    if (end == std::string_view::npos) end = options.size();
    const std::string_view option = Trim(options.substr(at, end - at));
    at = end + 1;
    if (option.empty()) continue;
    const bool negated = option.front() == '~';
    std::string_view name = negated ? option.substr(1) : option;
    std::string_view value;
    const std::size_t eq = name.find('=');
    if (eq != std::string_view::npos) {
      value = name.substr(eq + 1);
      name = name.substr(0, eq);
    }
    const std::string lower = LowerCopy(name);
    RequestType type;
    if (ParseRequestType(lower, &type) && value.empty()) {
      (negated ? negative : positive) |= TypeBit(type);
    } else if (lower == "third-party" || lower == "3p") {
      (negated ? rule->first_party : rule->third_party) = true;
    } else if (lower == "first-party" || lower == "1p") {
      (negated ? rule->third_party : rule->first_party) = true;
    } else if ((lower == "domain" || lower == "from") && !negated) {
      auto set = std::make_unique<DomainSet>();
      if (!ParseDomains(value, '|', set.get())) {
        *reason = "bad domain option";
        return false;
      }
      rule->domains = std::move(set);
    } else if (lower == "match-case" && !negated) {
      rule->match_case = true;
    } else if (lower == "important" && !negated) {
      rule->important = true;
    } else if ((lower == "generichide" || lower == "ghide" || lower == "elemhide" ||
                lower == "ehide") &&
               !negated) {
      if (!rule->exception) {
        *reason = "option " + lower + " only works on exceptions";
        return false;
      }
      (lower[0] == 'g' ? rule->generichide : rule->elemhide) = true;
      hiding_only = true;
    } else {
      const bool known = std::find_if(kUnsupportedOptions.begin(), kUnsupportedOptions.end(),
                                      [&](const char* n) { return lower == n; }) !=
                         kUnsupportedOptions.end();
      *reason = (known ? "unsupported option " : "unknown option ") + std::string(option);
      return false;
    }
  }
  if (rule->first_party && rule->third_party) {
    *reason = "first-party and third-party at once";
    return false;
  }
  if (positive != 0) {
    rule->types = static_cast<uint16_t>(positive & ~negative);
  } else if (hiding_only) {
    rule->types = 0;  // about element hiding only, no request is allowed by it
  } else {
    rule->types = static_cast<uint16_t>(kAllTypes & ~negative);
  }
  // A document exception turns off element hiding on its pages as well.
  if (rule->exception && (rule->types & TypeBit(RequestType::kDocument))) rule->elemhide = true;
  if (rule->types == 0 && !hiding_only) {
    *reason = "its options leave no request type";
    return false;
  }
  return true;
}

void ParseNetwork(std::string_view line, ParsedLine* out) {
  NetworkRule& rule = out->network;
  rule.text = line;
  std::string_view body = line;
  if (StartsWith(body, "@@")) {
    rule.exception = true;
    body.remove_prefix(2);
  }
  std::string_view options;
  const bool whole_regex = body.size() >= 2 && body.front() == '/' && body.back() == '/';
  if (!whole_regex) {
    const std::size_t dollar = body.rfind('$');
    if (dollar != std::string_view::npos) {
      options = body.substr(dollar + 1);
      body = body.substr(0, dollar);
    }
  }
  if (!ParseOptions(options, &rule, &out->reason)) {
    out->kind = LineKind::kSkipped;
    if (out->reason.rfind("bad ", 0) == 0 || out->reason.rfind("first-party", 0) == 0) {
      out->kind = LineKind::kBad;
    }
    return;
  }
  if (body.size() >= 2 && body.front() == '/' && body.back() == '/') {
    const std::string_view source = body.substr(1, body.size() - 2);
    if (NestedRepetition(source)) {
      out->kind = LineKind::kBad;
      out->reason = "bad regular expression: a repeated group repeats again (too slow to match)";
      return;
    }
    try {
      auto flags = std::regex::ECMAScript | std::regex::optimize;
      if (!rule.match_case) flags |= std::regex::icase;
      rule.regex = std::make_unique<std::regex>(std::string(source), flags);
    } catch (const std::regex_error& e) {
      out->kind = LineKind::kBad;
      out->reason = std::string("bad regular expression: ") + e.what();
      return;
    }
    if (!rule.match_case) rule.regex_literal = RegexLiteral(source);
  } else {
    if (StartsWith(body, "||")) {
      rule.anchor = Anchor::kHost;
      body.remove_prefix(2);
    } else if (StartsWith(body, "|")) {
      rule.anchor = Anchor::kStart;
      body.remove_prefix(1);
    }
    if (!body.empty() && body.back() == '|') {
      rule.end_anchor = true;
      body.remove_suffix(1);
    }
    std::string pattern;
    for (char c : body) {
      if (c == '*' && !pattern.empty() && pattern.back() == '*') continue;
      pattern += rule.match_case ? c : Lower(c);
    }
    // A leading or trailing '*' says what no anchor says already.
    while (!pattern.empty() && pattern.front() == '*') {
      pattern.erase(0, 1);
      rule.anchor = Anchor::kNone;
    }
    while (!pattern.empty() && pattern.back() == '*') {
      pattern.pop_back();
      rule.end_anchor = false;
    }
    rule.pattern = std::move(pattern);
  }
  out->kind = LineKind::kNetwork;
  out->is_network = true;
}

// Where the separator of an element-hiding line begins and how long it is;
// npos when the line is a network rule.
std::size_t FindHidingSeparator(std::string_view line, std::string_view* separator) {
  static constexpr std::array<std::string_view, 9> kSeparators = {
      "#@$?#", "#@$#", "#@?#", "#@%#", "#@#", "#$?#", "#$#", "#?#", "#%#"};
  for (std::size_t i = line.find('#'); i != std::string_view::npos; i = line.find('#', i + 1)) {
    std::string_view found;
    if (line.substr(i, 2) == "##") {
      found = "##";
    } else {
      for (std::string_view s : kSeparators) {
        if (line.substr(i, s.size()) == s) {
          found = s;
          break;
        }
      }
    }
    if (found.empty()) continue;
    const std::string_view domains = line.substr(0, i);
    const bool plain = domains.find_first_of("/|$^") == std::string_view::npos;
    if (!plain) return std::string_view::npos;
    *separator = found;
    return i;
  }
  return std::string_view::npos;
}

}  // namespace

bool ParseRequestType(std::string_view name, RequestType* type) {
  for (const TypeName& t : kTypeNames) {
    if (name == t.name) {
      *type = t.type;
      return true;
    }
  }
  return false;
}

const char* RequestTypeName(RequestType type) {
  for (const TypeName& t : kTypeNames) {
    if (t.type == type) return t.name;
  }
  return "other";
}

int ParseExpires(std::string_view value) {
  value = Trim(value);
  std::size_t i = 0;
  long n = 0;
  while (i < value.size() && value[i] >= '0' && value[i] <= '9' && n < 100000) {
    n = n * 10 + (value[i++] - '0');
  }
  if (i == 0) return 0;
  const std::string unit = LowerCopy(Trim(value.substr(i)));
  if (StartsWith(unit, "h")) return static_cast<int>(n);
  if (StartsWith(unit, "d") || unit.empty()) return static_cast<int>(n * 24);
  return 0;
}

std::string_view RegistrableDomain(std::string_view host) {
  char buffer[256];
  if (host.empty() || host.size() >= sizeof buffer) return host;
  std::memcpy(buffer, host.data(), host.size());
  buffer[host.size()] = '\0';
  const char* found = psl_registrable_domain(psl_builtin(), buffer);
  if (found == nullptr) return host;
  return host.substr(static_cast<std::size_t>(found - buffer));
}

std::string_view UrlHost(std::string_view url, std::size_t* begin) {
  const std::size_t scheme = url.find("://");
  if (scheme == std::string_view::npos) return {};
  std::size_t start = scheme + 3;
  std::size_t end = url.find_first_of("/?#", start);
  if (end == std::string_view::npos) end = url.size();
  const std::size_t at = url.substr(start, end - start).rfind('@');
  if (at != std::string_view::npos) start += at + 1;
  std::string_view host = url.substr(start, end - start);
  if (!host.empty() && host.front() == '[') {
    const std::size_t close = host.find(']');
    host = close == std::string_view::npos ? host : host.substr(0, close + 1);
  } else {
    const std::size_t colon = host.find(':');
    if (colon != std::string_view::npos) host = host.substr(0, colon);
  }
  while (!host.empty() && host.back() == '.') host.remove_suffix(1);
  if (begin != nullptr) *begin = start;
  return host;
}

bool DomainAllows(const DomainSet& set, std::string_view host) {
  auto in = [](const std::vector<std::string>& names, std::string_view name) {
    return std::binary_search(names.begin(), names.end(), name,
                              [](std::string_view a, std::string_view b) { return a < b; });
  };
  bool included = !set.HasIncludes();
  // The most specific entry decides: "a.com|~b.a.com" leaves b.a.com out.
  std::string_view h = host;
  while (!h.empty()) {
    if (in(set.exclude, h)) return false;
    if (in(set.include, h)) {
      included = true;
      break;
    }
    const std::size_t dot = h.find('.');
    if (dot == std::string_view::npos) break;
    h.remove_prefix(dot + 1);
  }
  if (!set.include_entity.empty() || !set.exclude_entity.empty()) {
    // "shop.*" names the site "shop" under any public suffix.
    const std::string_view site = RegistrableDomain(host);
    const std::string_view label = site.substr(0, site.find('.'));
    if (site.find('.') != std::string_view::npos && !label.empty()) {
      if (in(set.exclude_entity, label)) return false;
      if (in(set.include_entity, label)) included = true;
    }
  }
  return included && !host.empty();
}

ParsedLine ParseLine(std::string_view line) {
  ParsedLine out;
  if (line.size() > kMaxLineBytes) {
    out.kind = LineKind::kBad;
    out.reason = "line longer than " + std::to_string(kMaxLineBytes) + " bytes";
    return out;
  }
  if (line.find('\0') != std::string_view::npos) {
    out.kind = LineKind::kBad;
    out.reason = "zero byte in the line";
    return out;
  }
  line = Trim(line);
  if (line.empty()) return out;
  if (line.front() == '!' || (line.front() == '[' && line.back() == ']')) {
    out.kind = LineKind::kComment;
    return out;
  }
  std::string_view separator;
  const std::size_t at = FindHidingSeparator(line, &separator);
  if (at == std::string_view::npos) {
    ParseNetwork(line, &out);
    return out;
  }
  if (separator != "##" && separator != "#@#") {
    out.kind = LineKind::kSkipped;
    out.reason = separator.find('%') != std::string_view::npos ? "script injection (" +
                                                                     std::string(separator) + ")"
                 : separator.find('$') != std::string_view::npos
                     ? "style injection (" + std::string(separator) + ")"
                     : "procedural element hiding (" + std::string(separator) + ")";
    return out;
  }
  HidingRule& rule = out.hiding;
  rule.text = line;
  rule.exception = separator == "#@#";
  rule.selector = Trim(line.substr(at + separator.size()));
  const std::string_view domains = line.substr(0, at);
  if (StartsWith(rule.selector, "+js(")) {
    out.kind = LineKind::kSkipped;
    out.reason = "scriptlet (##+js)";
    return out;
  }
  if (StartsWith(rule.selector, "^")) {
    out.kind = LineKind::kSkipped;
    out.reason = "HTML filtering (##^)";
    return out;
  }
  for (const char* op : kProcedural) {
    if (rule.selector.find(op) != std::string_view::npos) {
      out.kind = LineKind::kSkipped;
      std::string name = op;
      if (name.back() == '(') name.pop_back();
      out.reason = "procedural operator " + name;
      return out;
    }
  }
  if (rule.selector.empty()) {
    out.kind = LineKind::kBad;
    out.reason = "empty selector";
    return out;
  }
  if (rule.selector.back() == '}' && rule.selector.find('{') != std::string_view::npos) {
    out.kind = LineKind::kSkipped;
    out.reason = "style rule (selector {declarations})";
    return out;
  }
  if (!SafeSelector(rule.selector)) {
    out.kind = LineKind::kBad;
    out.reason = "selector with a brace or a closing tag";
    return out;
  }
  if (!domains.empty()) {
    auto set = std::make_unique<DomainSet>();
    if (!ParseDomains(domains, ',', set.get())) {
      out.kind = LineKind::kBad;
      out.reason = "bad domain list";
      return out;
    }
    rule.domains = std::move(set);
  }
  out.kind = LineKind::kHiding;
  return out;
}

}  // namespace velquor::lists
