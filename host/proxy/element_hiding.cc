#include "proxy/element_hiding.h"

#include <algorithm>

namespace velquor::host::proxy {

namespace {

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f'; }
bool IsAlpha(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
char LowerAscii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool EqualsLower(std::string_view a, std::string_view lower) {
  if (a.size() != lower.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (LowerAscii(a[i]) != lower[i]) return false;
  }
  return true;
}

std::string StyleElement(const std::vector<std::string_view>& selectors) {
  if (selectors.empty()) return "";
  return "<style>" + lists::Engine::StyleText(selectors) + "</style>";
}

}  // namespace

std::unique_ptr<ElementHiding> ElementHiding::Start(std::shared_ptr<const lists::Engine> engine,
                                                    std::string_view page_url) {
  if (!engine || engine->hiding_rules() == 0) return nullptr;
  lists::PageHiding hiding = engine->Hiding(page_url);
  if (!hiding.enabled || (hiding.selectors.empty() && !hiding.generic)) return nullptr;
  return std::unique_ptr<ElementHiding>(new ElementHiding(std::move(engine), std::move(hiding)));
}

void ElementHiding::Note(std::string_view name, bool is_class) {
  if (name.empty() || names_.size() >= kMaxNames) return;
  std::string key(1, is_class ? '.' : '#');
  key.append(name);
  if (!names_.insert(std::move(key)).second) return;
  (is_class ? new_classes_ : new_ids_).emplace_back(name);
}

void ElementHiding::Tag(std::size_t start, std::size_t end) {
  state_ = State::kText;
  const std::string_view tag = tag_;
  if (tag.empty() || tag[0] == '?') return;
  if (tag[0] == '!') {
    // A doctype must stay ahead of everything else, or the page changes mode.
    if (first_ && early_rank_ < 1 && tag.size() >= 8 && EqualsLower(tag.substr(0, 8), "!doctype")) {
      early_at_ = end;
      early_rank_ = 1;
    }
    return;
  }
  const bool closing = tag[0] == '/';
  std::size_t p = closing ? 1 : 0;
  const std::size_t name_start = p;
  while (p < tag.size() && !IsSpace(tag[p]) && tag[p] != '/') ++p;
  std::string name(tag.substr(name_start, p - name_start));
  for (char& c : name) c = LowerAscii(c);
  if (closing) {
    if (name == "body" && start != std::string::npos && !body_end_done_ &&
        body_end_at_ == std::string::npos) {
      body_end_at_ = start;
    }
    return;
  }
  if (first_) {
    const std::size_t rank = name == "head" ? 3 : name == "html" ? 2 : 0;
    if (rank > early_rank_) {
      early_at_ = end;
      early_rank_ = rank;
    }
    if (rank == 0) content_ = true;
  }
  // The attributes: only class and id matter here.
  while (p < tag.size()) {
    while (p < tag.size() && (IsSpace(tag[p]) || tag[p] == '/')) ++p;
    const std::size_t a = p;
    while (p < tag.size() && !IsSpace(tag[p]) && tag[p] != '=' && tag[p] != '/') ++p;
    const std::string_view attribute = tag.substr(a, p - a);
    while (p < tag.size() && IsSpace(tag[p])) ++p;
    std::string_view value;
    if (p < tag.size() && tag[p] == '=') {
      ++p;
      while (p < tag.size() && IsSpace(tag[p])) ++p;
      if (p < tag.size() && (tag[p] == '"' || tag[p] == '\'')) {
        const std::size_t close = tag.find(tag[p], p + 1);
        const std::size_t stop = close == std::string_view::npos ? tag.size() : close;
        value = tag.substr(p + 1, stop - p - 1);
        p = stop == tag.size() ? stop : stop + 1;
      } else {
        const std::size_t v = p;
        while (p < tag.size() && !IsSpace(tag[p])) ++p;
        value = tag.substr(v, p - v);
      }
    }
    if (EqualsLower(attribute, "class")) {
      std::size_t at = 0;
      while (at < value.size()) {
        while (at < value.size() && IsSpace(value[at])) ++at;
        const std::size_t w = at;
        while (at < value.size() && !IsSpace(value[at])) ++at;
        Note(value.substr(w, at - w), true);
      }
    } else if (EqualsLower(attribute, "id")) {
      Note(value, false);
    }
    if (a == p && p < tag.size()) ++p;  // a stray '=' or the like
  }
  // Their text is not markup: a "</body>" in a script is no end of the body.
  if (name == "script" || name == "style" || name == "textarea" || name == "title") {
    state_ = State::kRaw;
    raw_end_ = "</" + name;
    matched_ = 0;
  }
}

std::string ElementHiding::GenericStyle() {
  if (!hiding_.generic || (new_classes_.empty() && new_ids_.empty())) return "";
  std::vector<std::string_view> selectors =
      engine_->GenericSelectors(hiding_, new_classes_, new_ids_);
  new_classes_.clear();
  new_ids_.clear();
  std::erase_if(selectors, [this](std::string_view s) { return !sent_.insert(s.data()).second; });
  return StyleElement(selectors);
}

void ElementHiding::Pass(std::string* piece, bool last) {
  const std::string& s = *piece;
  // Positions found in this piece; a tag carried over from the last one
  // began in text already sent.
  if (state_ != State::kText) tag_start_ = std::string::npos;
  early_at_ = std::string::npos;
  early_rank_ = 0;
  body_end_at_ = std::string::npos;
  for (std::size_t i = 0; i < s.size(); ++i) {
    const char c = s[i];
    switch (state_) {
      case State::kText:
        if (!IsSpace(c) && c != '<') content_ = true;
        if (c == '<') {
          state_ = State::kTag;
          tag_.clear();
          tag_start_ = i;
        }
        break;
      case State::kTag:
        if (c == '>') {
          Tag(tag_start_, i + 1);
          break;
        }
        if (tag_.empty() && !IsAlpha(c) && c != '/' && c != '!' && c != '?') {
          // "a < b": text after all.
          state_ = State::kText;
          if (c == '<') {
            state_ = State::kTag;
            tag_start_ = i;
          }
          break;
        }
        tag_ += c;
        if (tag_ == "!--") {
          state_ = State::kComment;
          matched_ = 0;
        } else if ((c == '"' || c == '\'') && tag_[0] != '!') {
          quote_ = c;
          state_ = State::kQuoted;
        } else if (tag_.size() > kMaxTag) {
          state_ = State::kText;
        }
        break;
      case State::kQuoted:
        tag_ += c;
        if (c == quote_) {
          state_ = State::kTag;
        } else if (tag_.size() > kMaxTag) {
          state_ = State::kText;
        }
        break;
      case State::kComment:
        if (c == '-') {
          matched_ = std::min<std::size_t>(matched_ + 1, 2);
        } else if (c == '>' && matched_ == 2) {
          state_ = State::kText;
        } else {
          matched_ = 0;
        }
        break;
      case State::kRaw:
        if (matched_ == raw_end_.size()) {
          if (c == '>' || c == '/' || IsSpace(c)) {
            tag_ = raw_end_.substr(1);
            if (c == '>') {
              Tag(tag_start_, i + 1);
            } else {
              tag_ += c;
              state_ = State::kTag;
            }
            break;
          }
          matched_ = 0;
        }
        if (LowerAscii(c) == raw_end_[matched_]) {
          if (matched_ == 0) tag_start_ = i;
          ++matched_;
        } else {
          matched_ = c == '<' ? 1 : 0;
          if (c == '<') tag_start_ = i;
        }
        break;
    }
  }

  std::string late;
  if (body_end_at_ != std::string::npos) {
    late = GenericStyle();
    body_end_done_ = true;
  }
  std::string early;
  std::size_t early_at = 0;
  // The site's style goes after the page's <head>, <html> or doctype, or
  // ahead of the first content when there is none of them; a piece with
  // only the start of a doctype leaves it to the next one.
  if (first_ && (early_at_ != std::string::npos || content_ || last)) {
    first_ = false;
    early = StyleElement(hiding_.selectors);
    if (early_at_ != std::string::npos) {
      early_at = early_at_;
    } else if (at_start_ && s.compare(0, 3, "\xEF\xBB\xBF") == 0) {
      early_at = 3;  // a byte order mark stays first
    }
  }
  if (!s.empty()) at_start_ = false;
  if (last) piece->append(GenericStyle());
  // The later position first, so that the earlier one stays where it was.
  if (!late.empty() && body_end_at_ >= early_at) {
    piece->insert(body_end_at_, late);
    piece->insert(early_at, early);
  } else {
    piece->insert(early_at, early);
    if (!late.empty()) piece->insert(body_end_at_, late);
  }
}

}  // namespace velquor::host::proxy
