// The compiled engine. Network rules are indexed by one token each: the
// rarest whole word of their pattern (letters, digits and '%'), which every
// URL they match must contain as a word of its own. A request looks up the
// words of its URL and tries only the rules filed under them, plus the few
// that have no such word.
#include <algorithm>
#include <cstring>
#include <unordered_map>
#include <unordered_set>
#include <deque>

#include "lists/filter_lists.h"
#include "lists/rules.h"

namespace velquor::lists {
namespace {

constexpr uint32_t kNoToken = 0;

char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; }

bool IsTokenChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '%' || (c >= 'A' && c <= 'Z');
}

// '^' matches one byte that is none of these, or the end of the URL.
bool IsSeparator(char c) {
  const unsigned char u = static_cast<unsigned char>(c);
  return !((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           c == '_' || c == '-' || c == '.' || c == '%' || u >= 0x80);
}

uint32_t TokenHash(std::string_view token) {
  uint32_t h = 2166136261u;
  for (char c : token) h = (h ^ static_cast<unsigned char>(Lower(c))) * 16777619u;
  return h == kNoToken ? 1 : h;
}

// Matches `pattern` ('*' any run, '^' a separator or the end) at the start
// of `text`; with `floating` anywhere in it. Without `end_anchor` the
// pattern may end before the text does. Backtracks to the last '*' only,
// so the time is bounded by the product of the two lengths.
bool Glob(std::string_view p, std::string_view t, bool floating, bool end_anchor) {
  std::size_t pi = 0, ti = 0;
  bool has_star = floating;
  std::size_t restart_p = 0, star_t = 0;
  for (;;) {
    if (pi < p.size()) {
      const char pc = p[pi];
      if (pc == '*') {
        has_star = true;
        restart_p = ++pi;
        star_t = ti;
        continue;
      }
      if (ti < t.size() && (pc == '^' ? IsSeparator(t[ti]) : pc == t[ti])) {
        ++pi;
        ++ti;
        continue;
      }
      if (ti == t.size() && pc == '^') {
        ++pi;
        continue;
      }
    } else if (!end_anchor || ti == t.size()) {
      return true;
    }
    if (!has_star || star_t >= t.size()) return false;
    pi = restart_p;
    ti = ++star_t;
  }
}

// One request as the rules see it.
struct Request {
  Request(std::string_view u, std::string_view s, RequestType t)
      : url(u), source(s), type_bit(TypeBit(t)) {
    lower.assign(u);
    for (char& c : lower) c = Lower(c);
    std::size_t begin = 0;
    host = UrlHost(lower, &begin);
    host_begin = begin;
    source_lower.assign(s);
    for (char& c : source_lower) c = Lower(c);
    source_host = UrlHost(source_lower);
  }

  bool ThirdParty() const {
    if (third_party < 0) {
      third_party = source_host.empty() || host.empty() ||
                    RegistrableDomain(host) != RegistrableDomain(source_host);
    }
    return third_party != 0;
  }

  std::string_view url;
  std::string lower;
  std::string_view host;
  std::size_t host_begin = 0;
  std::string_view source;
  std::string source_lower;
  std::string_view source_host;
  uint16_t type_bit;
  mutable int third_party = -1;
};

bool PatternMatches(const NetworkRule& rule, const Request& r) {
  if (rule.regex) {
    if (r.url.size() > kMaxRegexUrlBytes) return false;
    if (!rule.regex_literal.empty() && r.lower.find(rule.regex_literal) == std::string::npos) {
      return false;
    }
    try {
      return std::regex_search(r.url.begin(), r.url.end(), *rule.regex);
    } catch (const std::regex_error&) {
      return false;  // the matcher gave up (too complex, too deep)
    }
  }
  const std::string_view text = rule.match_case ? r.url : std::string_view(r.lower);
  switch (rule.anchor) {
    case Anchor::kStart:
      return Glob(rule.pattern, text, false, rule.end_anchor);
    case Anchor::kHost: {
      if (r.host.empty()) return false;
      const std::size_t end = r.host_begin + r.host.size();
      for (std::size_t at = r.host_begin; at < end; ++at) {
        if (at != r.host_begin && r.lower[at - 1] != '.') continue;
        if (Glob(rule.pattern, text.substr(at), false, rule.end_anchor)) return true;
      }
      return false;
    }
    case Anchor::kNone:
      break;
  }
  if (rule.pattern.empty()) return !rule.end_anchor || text.empty();
  return Glob(rule.pattern, text, true, rule.end_anchor);
}

bool RuleMatches(const NetworkRule& rule, const Request& r, bool check_type = true) {
  if (check_type && (rule.types & r.type_bit) == 0) return false;
  if (rule.domains) {
    if (r.source_host.empty() ? rule.domains->HasIncludes()
                              : !DomainAllows(*rule.domains, r.source_host)) {
      return false;
    }
  }
  if ((rule.third_party && !r.ThirdParty()) || (rule.first_party && r.ThirdParty())) return false;
  return PatternMatches(rule, r);
}

// The words a rule's matches must contain: runs of token characters with a
// fixed character (not '*') on both sides, or an anchor.
std::vector<uint32_t> RuleTokens(const NetworkRule& rule) {
  std::vector<uint32_t> out;
  if (rule.regex) {
    const std::string& lit = rule.regex_literal;
    for (std::size_t i = 0; i < lit.size();) {
      if (!IsTokenChar(lit[i])) {
        ++i;
        continue;
      }
      std::size_t j = i;
      while (j < lit.size() && IsTokenChar(lit[j])) ++j;
      if (i > 0 && j < lit.size()) out.push_back(TokenHash(std::string_view(lit).substr(i, j - i)));
      i = j;
    }
    return out;
  }
  const std::string_view p = rule.pattern;
  for (std::size_t i = 0; i < p.size();) {
    if (!IsTokenChar(p[i])) {
      ++i;
      continue;
    }
    std::size_t j = i;
    while (j < p.size() && IsTokenChar(p[j])) ++j;
    const bool left = i == 0 ? rule.anchor != Anchor::kNone : p[i - 1] != '*';
    const bool right = j == p.size() ? rule.end_anchor : p[j] != '*';
    if (left && right) out.push_back(TokenHash(p.substr(i, j - i)));
    i = j;
  }
  return out;
}

// A class or id a generic selector needs on an element of the page, or ""
// when there is no such single name (".ad > p" needs class "ad").
std::string_view SelectorKey(std::string_view s, bool* is_id) {
  if (s.size() < 2 || (s[0] != '.' && s[0] != '#')) return {};
  if (s.find(',') != std::string_view::npos) return {};
  std::size_t j = 1;
  while (j < s.size() && ((s[j] >= 'a' && s[j] <= 'z') || (s[j] >= 'A' && s[j] <= 'Z') ||
                          (s[j] >= '0' && s[j] <= '9') || s[j] == '-' || s[j] == '_')) {
    ++j;
  }
  if (j == 1) return {};
  if (j < s.size() && std::strchr(" >+~[:.#", s[j]) == nullptr) return {};
  *is_id = s[0] == '#';
  return s.substr(1, j - 1);
}

struct Slot {
  uint32_t hash = 0;
  uint32_t begin = 0, important_end = 0, block_end = 0, end = 0;
  bool used = false;
};

using Selectors = std::vector<std::string_view>;

}  // namespace

struct Engine::Impl {
  std::vector<std::string> names;
  std::vector<std::unique_ptr<std::string>> texts;
  std::vector<NetworkRule> rules;
  std::vector<uint32_t> ids;  // rule numbers, bucket after bucket
  std::vector<Slot> slots;    // open addressing, a power of two long
  std::vector<uint32_t> page_exceptions;  // document, elemhide, generichide
  // Tunnels: hosts blocked outright, and what could allow one.
  std::unordered_map<std::string, bool> whole_hosts;  // host: important
  std::vector<std::string> exception_hosts;
  bool open_exceptions = false;

  std::vector<HidingRule> hides;
  std::unordered_map<std::string_view, std::vector<uint32_t>> by_class, by_id, specific;
  std::vector<uint32_t> generic_unkeyed;
  std::unordered_map<std::string_view, Selectors> exceptions_by_site;
  Selectors generic_exceptions;
  std::deque<std::string> entity_keys;  // owns "shop.*" keys (never moved)

  const Slot* Find(uint32_t hash) const {
    if (slots.empty()) return nullptr;
    const std::size_t mask = slots.size() - 1;
    for (std::size_t i = hash & mask;; i = (i + 1) & mask) {
      if (!slots[i].used) return nullptr;
      if (slots[i].hash == hash) return &slots[i];
    }
  }

  Decision Make(Decision::Kind kind, const NetworkRule& rule) const {
    return {kind, rule.text, names[rule.list], rule.line};
  }

  // Whether the page `page` is allowed by a document exception; `bit`
  // also selects elemhide and generichide exceptions.
  const NetworkRule* PageException(const Request& page, bool (*wanted)(const NetworkRule&)) const {
    for (uint32_t id : page_exceptions) {
      const NetworkRule& rule = rules[id];
      if (wanted(rule) && RuleMatches(rule, page, false)) return &rule;
    }
    return nullptr;
  }

  void AddNetwork(NetworkRule rule);
  void AddHiding(HidingRule rule);
  void BuildIndex();
};

namespace {

// Reads `text` line by line, reporting each to `on_line` and counting it.
template <typename OnLine>
void ReadList(std::string_view text, ListSummary* summary, OnLine on_line) {
  std::size_t first = text.find_first_not_of(" \t\r\n\xEF\xBB\xBF");
  summary->markup = first != std::string_view::npos && text[first] == '<';
  int number = 0;
  for (std::size_t at = 0; at < text.size();) {
    std::size_t end = text.find('\n', at);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(at, end - at);
    at = end + 1;
    ++number;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (number == 1 && line.substr(0, 3) == "\xEF\xBB\xBF") line.remove_prefix(3);
    ParsedLine parsed = ParseLine(line);
    switch (parsed.kind) {
      case LineKind::kBlank:
        break;
      case LineKind::kComment: {
        ++summary->comments;
        if (line.front() == '[') summary->has_header = true;
        auto value = [&](std::string_view key) -> std::string_view {
          std::string_view rest = line.substr(1);
          while (!rest.empty() && rest.front() == ' ') rest.remove_prefix(1);
          if (rest.size() < key.size()) return {};
          for (std::size_t i = 0; i < key.size(); ++i) {
            if (Lower(rest[i]) != key[i]) return {};
          }
          return rest.substr(key.size());
        };
        if (line.front() == '!') {
          if (std::string_view v = value("expires:"); !v.empty()) {
            summary->expires_hours = ParseExpires(v);
          } else if (std::string_view t = value("title:"); !t.empty()) {
            while (!t.empty() && t.front() == ' ') t.remove_prefix(1);
            summary->title = std::string(t);
          }
        }
        break;
      }
      case LineKind::kNetwork:
        ++summary->network;
        break;
      case LineKind::kHiding:
        ++summary->hiding;
        break;
      case LineKind::kSkipped:
        ++summary->skipped;
        summary->problems.push_back({number, parsed.kind, parsed.reason});
        break;
      case LineKind::kBad:
        ++summary->bad;
        summary->problems.push_back({number, parsed.kind, parsed.reason});
        break;
    }
    on_line(number, parsed);
  }
}

}  // namespace

bool ListSummary::LooksLikeAList() const { return used() > 0 && !markup && bad <= used(); }

ListSummary CheckList(const std::string& name, std::string_view text) {
  ListSummary summary;
  summary.name = name;
  ReadList(text, &summary, [](int, ParsedLine&) {});
  return summary;
}

void Engine::Impl::AddNetwork(NetworkRule rule) {
  if (rule.exception && (rule.elemhide || rule.generichide)) {
    page_exceptions.push_back(static_cast<uint32_t>(rules.size()));
  }
  rules.push_back(std::move(rule));
}

void Engine::Impl::AddHiding(HidingRule rule) {
  const uint32_t id = static_cast<uint32_t>(hides.size());
  auto site_keys = [&](const DomainSet& set, auto add) {
    for (const std::string& d : set.include) add(std::string_view(d));
    for (const std::string& e : set.include_entity) {
      entity_keys.push_back(e + ".*");
    }
    for (std::size_t i = 0; i < set.include_entity.size(); ++i) {
      add(std::string_view(entity_keys[entity_keys.size() - set.include_entity.size() + i]));
    }
  };
  if (rule.exception) {
    if (rule.domains && rule.domains->HasIncludes()) {
      site_keys(*rule.domains,
                [&](std::string_view k) { exceptions_by_site[k].push_back(rule.selector); });
    } else {
      generic_exceptions.push_back(rule.selector);
    }
  } else if (rule.domains && rule.domains->HasIncludes()) {
    site_keys(*rule.domains, [&](std::string_view k) { specific[k].push_back(id); });
  } else {
    bool is_id = false;
    const std::string_view key = SelectorKey(rule.selector, &is_id);
    if (key.empty()) {
      generic_unkeyed.push_back(id);
    } else {
      (is_id ? by_id : by_class)[key].push_back(id);
    }
  }
  hides.push_back(std::move(rule));
}

void Engine::Impl::BuildIndex() {
  // How many rules could be filed under each word: the rarest one is chosen.
  std::vector<std::vector<uint32_t>> tokens(rules.size());
  std::unordered_map<uint32_t, uint32_t> counts;
  for (std::size_t i = 0; i < rules.size(); ++i) {
    const NetworkRule& rule = rules[i];
    if ((rule.types & kAllTypes) == 0) continue;  // pop-ups and hiding exceptions
    tokens[i] = RuleTokens(rule);
    for (uint32_t t : tokens[i]) ++counts[t];
  }
  struct Entry {
    uint32_t hash;
    uint8_t klass;  // 0 important, 1 blocking, 2 exception
    uint32_t id;
  };
  std::vector<Entry> entries;
  entries.reserve(rules.size());
  for (std::size_t i = 0; i < rules.size(); ++i) {
    const NetworkRule& rule = rules[i];
    if ((rule.types & kAllTypes) == 0) continue;
    uint32_t best = kNoToken;
    uint32_t best_count = UINT32_MAX;
    for (uint32_t t : tokens[i]) {
      if (counts[t] < best_count) {
        best = t;
        best_count = counts[t];
      }
    }
    const uint8_t klass = rule.exception ? 2 : rule.important ? 0 : 1;
    entries.push_back({best, klass, static_cast<uint32_t>(i)});
    if (rule.exception && (rule.types & TypeBit(RequestType::kDocument)) &&
        std::find(page_exceptions.begin(), page_exceptions.end(), i) == page_exceptions.end()) {
      page_exceptions.push_back(static_cast<uint32_t>(i));
    }
    // What a tunnel to a host needs to know.
    if (rule.exception) {
      if (rule.anchor != Anchor::kHost || rule.regex) {
        open_exceptions = true;
      } else {
        const std::size_t stop = rule.pattern.find_first_of("/^*|?:");
        exception_hosts.push_back(rule.pattern.substr(0, stop));
      }
    } else if (rule.anchor == Anchor::kHost && !rule.regex && !rule.domains &&
               !rule.first_party && !rule.third_party && (rule.types & kAllTypes) == kAllTypes) {
      std::string host = rule.pattern;
      if (!host.empty() && host.back() == '^') host.pop_back();
      const bool plain =
          !host.empty() && host.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789.-_") ==
                               std::string::npos;
      if (plain && !rule.end_anchor) whole_hosts[host] = whole_hosts[host] || rule.important;
    }
  }
  std::sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) {
    return a.hash != b.hash ? a.hash < b.hash : a.klass != b.klass ? a.klass < b.klass : a.id < b.id;
  });
  std::size_t buckets = 0;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    if (i == 0 || entries[i].hash != entries[i - 1].hash) ++buckets;
  }
  std::size_t size = 16;
  while (size < buckets * 2) size *= 2;
  slots.assign(size, Slot{});
  ids.reserve(entries.size());
  for (std::size_t i = 0; i < entries.size();) {
    Slot slot;
    slot.used = true;
    slot.hash = entries[i].hash;
    slot.begin = static_cast<uint32_t>(ids.size());
    std::size_t j = i;
    for (; j < entries.size() && entries[j].hash == slot.hash; ++j) ids.push_back(entries[j].id);
    auto end_of = [&](uint8_t klass) {
      uint32_t n = slot.begin;
      for (std::size_t k = i; k < j && entries[k].klass <= klass; ++k) ++n;
      return n;
    };
    slot.important_end = end_of(0);
    slot.block_end = end_of(1);
    slot.end = static_cast<uint32_t>(ids.size());
    for (std::size_t at = slot.hash & (size - 1);; at = (at + 1) & (size - 1)) {
      if (!slots[at].used) {
        slots[at] = slot;
        break;
      }
    }
    i = j;
  }
  std::sort(generic_exceptions.begin(), generic_exceptions.end());
}

std::shared_ptr<const Engine> Engine::Build(std::vector<ListText> lists,
                                            std::vector<ListSummary>* summaries) {
  auto impl = std::make_unique<Impl>();
  for (ListText& list : lists) {
    const uint16_t index = static_cast<uint16_t>(impl->names.size());
    impl->names.push_back(list.name);
    impl->texts.push_back(std::make_unique<std::string>(std::move(list.text)));
    ListSummary summary;
    summary.name = list.name;
    ReadList(*impl->texts.back(), &summary, [&](int number, ParsedLine& parsed) {
      if (parsed.kind == LineKind::kNetwork) {
        parsed.network.list = index;
        parsed.network.line = number;
        impl->AddNetwork(std::move(parsed.network));
      } else if (parsed.kind == LineKind::kHiding) {
        parsed.hiding.list = index;
        parsed.hiding.line = number;
        impl->AddHiding(std::move(parsed.hiding));
      }
    });
    if (summaries != nullptr) summaries->push_back(std::move(summary));
  }
  impl->BuildIndex();
  return std::shared_ptr<const Engine>(new Engine(std::move(impl)));
}

Engine::Engine(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
Engine::~Engine() = default;

int Engine::network_rules() const { return static_cast<int>(impl_->rules.size()); }
int Engine::hiding_rules() const { return static_cast<int>(impl_->hides.size()); }

Decision Engine::Match(std::string_view url, std::string_view source, RequestType type) const {
  const Impl& m = *impl_;
  const Request r(url, source, type);
  // The buckets of the URL's words, each once, and the bucket of rules
  // without a word.
  const Slot* found[64];
  std::vector<const Slot*> more;
  std::size_t n = 0;
  uint32_t seen[64];
  auto add = [&](uint32_t hash) {
    const std::size_t limit = std::min<std::size_t>(n, 64);
    for (std::size_t i = 0; i < limit; ++i) {
      if (seen[i] == hash) return;
    }
    const Slot* slot = m.Find(hash);
    if (slot == nullptr) return;
    if (n < 64) {
      seen[n] = hash;
      found[n++] = slot;
    } else if (std::find(more.begin(), more.end(), slot) == more.end()) {
      more.push_back(slot);
    }
  };
  add(kNoToken);
  const std::string& lower = r.lower;
  for (std::size_t i = 0; i < lower.size();) {
    if (!IsTokenChar(lower[i])) {
      ++i;
      continue;
    }
    std::size_t j = i;
    while (j < lower.size() && IsTokenChar(lower[j])) ++j;
    add(TokenHash(std::string_view(lower).substr(i, j - i)));
    i = j;
  }
  auto each_slot = [&](auto visit) -> const NetworkRule* {
    for (std::size_t i = 0; i < n; ++i) {
      if (const NetworkRule* hit = visit(*found[i])) return hit;
    }
    for (const Slot* s : more) {
      if (const NetworkRule* hit = visit(*s)) return hit;
    }
    return nullptr;
  };
  auto first_in = [&](uint32_t Slot::*from, uint32_t Slot::*to) {
    return each_slot([&](const Slot& s) -> const NetworkRule* {
      for (uint32_t k = s.*from; k < s.*to; ++k) {
        if (RuleMatches(m.rules[m.ids[k]], r)) return &m.rules[m.ids[k]];
      }
      return nullptr;
    });
  };
  if (const NetworkRule* hit = first_in(&Slot::begin, &Slot::important_end)) {
    return m.Make(Decision::kBlock, *hit);
  }
  const NetworkRule* block = first_in(&Slot::important_end, &Slot::block_end);
  if (block == nullptr) return {};
  if (const NetworkRule* allow = first_in(&Slot::block_end, &Slot::end)) {
    return m.Make(Decision::kAllow, *allow);
  }
  if (!r.source_host.empty()) {
    const Request page(source, source, RequestType::kDocument);
    const NetworkRule* allow = m.PageException(page, [](const NetworkRule& rule) {
      return (rule.types & TypeBit(RequestType::kDocument)) != 0;
    });
    if (allow != nullptr) return m.Make(Decision::kAllow, *allow);
  }
  return m.Make(Decision::kBlock, *block);
}

bool Engine::BlocksWholeHost(std::string_view host_in) const {
  const Impl& m = *impl_;
  std::string host(host_in);
  for (char& c : host) c = Lower(c);
  while (!host.empty() && host.back() == '.') host.pop_back();
  if (host.empty()) return false;
  bool blocked = false;
  for (std::string_view h = host;;) {
    const auto it = m.whole_hosts.find(std::string(h));
    if (it != m.whole_hosts.end()) {
      if (it->second) return true;  // important: no exception counts
      blocked = true;
    }
    const std::size_t dot = h.find('.');
    if (dot == std::string_view::npos) break;
    h.remove_prefix(dot + 1);
  }
  if (!blocked || m.open_exceptions) return false;
  // An exception anchored at a host could allow a request here when its
  // host part begins at a label of this host.
  for (const std::string& e : m.exception_hosts) {
    for (std::size_t at = 0; at < host.size(); ++at) {
      if (at != 0 && host[at - 1] != '.') continue;
      if (host.compare(at, e.size(), e) == 0 || e.empty()) return false;
    }
  }
  return true;
}

PageHiding Engine::Hiding(std::string_view page_url) const {
  const Impl& m = *impl_;
  PageHiding out;
  const Request page(page_url, page_url, RequestType::kDocument);
  out.host = std::string(page.host);
  if (m.PageException(page, [](const NetworkRule& r) { return r.elemhide; }) != nullptr) {
    out.enabled = false;
    return out;
  }
  out.generic =
      m.PageException(page, [](const NetworkRule& r) { return r.generichide; }) == nullptr;
  // The page's host and every domain above it, then its site under any
  // public suffix ("shop.*").
  std::vector<std::string_view> keys;
  for (std::string_view h = out.host; !h.empty();) {
    keys.push_back(h);
    const std::size_t dot = h.find('.');
    if (dot == std::string_view::npos) break;
    h.remove_prefix(dot + 1);
  }
  std::string entity;
  const std::string_view site = RegistrableDomain(out.host);
  if (site.find('.') != std::string_view::npos) {
    entity = std::string(site.substr(0, site.find('.'))) + ".*";
    keys.push_back(entity);
  }
  out.exceptions = m.generic_exceptions;
  for (std::string_view k : keys) {
    const auto it = m.exceptions_by_site.find(k);
    if (it != m.exceptions_by_site.end()) {
      out.exceptions.insert(out.exceptions.end(), it->second.begin(), it->second.end());
    }
  }
  std::sort(out.exceptions.begin(), out.exceptions.end());
  out.exceptions.erase(std::unique(out.exceptions.begin(), out.exceptions.end()),
                       out.exceptions.end());
  std::unordered_set<std::string_view> seen;
  auto take = [&](uint32_t id) {
    const HidingRule& rule = m.hides[id];
    if (rule.domains && !DomainAllows(*rule.domains, out.host)) return;
    if (std::binary_search(out.exceptions.begin(), out.exceptions.end(), rule.selector)) return;
    if (seen.insert(rule.selector).second) out.selectors.push_back(rule.selector);
  };
  for (std::string_view k : keys) {
    const auto it = m.specific.find(k);
    if (it == m.specific.end()) continue;
    for (uint32_t id : it->second) take(id);
  }
  if (out.generic) {
    for (uint32_t id : m.generic_unkeyed) take(id);
  }
  return out;
}

std::vector<std::string_view> Engine::GenericSelectors(const PageHiding& hiding,
                                                       const std::vector<std::string>& classes,
                                                       const std::vector<std::string>& ids) const {
  const Impl& m = *impl_;
  std::vector<std::string_view> out;
  if (!hiding.enabled || !hiding.generic) return out;
  std::unordered_set<std::string_view> seen;
  auto from = [&](const std::unordered_map<std::string_view, std::vector<uint32_t>>& index,
                  const std::vector<std::string>& names) {
    for (const std::string& name : names) {
      const auto it = index.find(name);
      if (it == index.end()) continue;
      for (uint32_t id : it->second) {
        const HidingRule& rule = m.hides[id];
        if (rule.domains && !DomainAllows(*rule.domains, hiding.host)) continue;
        if (std::binary_search(hiding.exceptions.begin(), hiding.exceptions.end(),
                               rule.selector)) {
          continue;
        }
        if (seen.insert(rule.selector).second) out.push_back(rule.selector);
      }
    }
  };
  from(m.by_class, classes);
  from(m.by_id, ids);
  return out;
}

std::string Engine::StyleText(const std::vector<std::string_view>& selectors) {
  std::string out;
  for (std::string_view s : selectors) {
    out.append(s);
    out += "{display:none!important}\n";
  }
  return out;
}

}  // namespace velquor::lists
