// The parsed form of list lines, shared by the parser and the engine.
#ifndef VELQUOR_LISTS_RULES_H_
#define VELQUOR_LISTS_RULES_H_

#include <cstdint>
#include <memory>
#include <regex>
#include <string>
#include <string_view>
#include <vector>

#include "lists/filter_lists.h"

namespace velquor::lists {

constexpr uint16_t TypeBit(RequestType t) { return static_cast<uint16_t>(1u << static_cast<int>(t)); }
// Every type a rule without type options applies to: all but pop-ups.
constexpr uint16_t kAllTypes = static_cast<uint16_t>(((1u << 13) - 1) & ~TypeBit(RequestType::kPopup));

// The sites a rule is restricted to ("domain=a.com|~b.a.com|shop.*", or the
// domains in front of "##"). Sorted, lower case; "shop.*" entries are kept
// without ".*" in the entity lists.
struct DomainSet {
  std::vector<std::string> include, exclude;
  std::vector<std::string> include_entity, exclude_entity;
  bool HasIncludes() const { return !include.empty() || !include_entity.empty(); }
};

// Whether `host` (lower case; "" for none) is one the set admits.
bool DomainAllows(const DomainSet& set, std::string_view host);

enum class Anchor : uint8_t { kNone, kStart, kHost };

struct NetworkRule {
  std::string pattern;  // lower case unless match_case; '*' and '^' wildcards
  std::string_view text;
  uint16_t list = 0;
  int line = 0;
  uint16_t types = kAllTypes;
  Anchor anchor = Anchor::kNone;
  bool end_anchor = false;
  bool exception = false;
  bool important = false;
  bool match_case = false;
  bool first_party = false;  // only first-party requests
  bool third_party = false;  // only third-party requests
  bool elemhide = false;     // exceptions: no element hiding on the page
  bool generichide = false;  // exceptions: no generic element hiding
  std::unique_ptr<DomainSet> domains;
  std::unique_ptr<std::regex> regex;
  std::string regex_literal;  // text every match must contain (lower case)
};

struct HidingRule {
  std::string_view selector;  // as written
  std::string_view text;
  uint16_t list = 0;
  int line = 0;
  bool exception = false;
  std::unique_ptr<DomainSet> domains;  // null: generic
};

// One line sorted into what it is. For kNetwork and kHiding one of the two
// rules is filled.
struct ParsedLine {
  LineKind kind = LineKind::kBlank;
  std::string reason;
  NetworkRule network;
  HidingRule hiding;
  bool is_network = false;
};

// Parses one line (no line end). `line` views the list's text, which must
// outlive the rule.
ParsedLine ParseLine(std::string_view line);

// Reads "! Expires: 4 days (update frequency)": hours, or 0.
int ParseExpires(std::string_view value);

// The registrable domain of `host` from the built-in Public Suffix List; the
// host itself when it has none (an address, a bare suffix).
std::string_view RegistrableDomain(std::string_view host);

// The host of `url`, lower case as given; "" when it has none.
std::string_view UrlHost(std::string_view url, std::size_t* begin = nullptr);

}  // namespace velquor::lists

#endif  // VELQUOR_LISTS_RULES_H_
