#include "icap/icap_message.h"

#include <algorithm>
#include <cctype>

#include "proxy/http_text.h"

namespace velquor::host {
namespace {

using proxy::EqualNoCase;
using proxy::LowerChar;
using proxy::TrimView;

constexpr std::size_t kFieldLimit = 100;  // fields in one head
constexpr std::size_t kTrailerLimit = 64;

bool IsTokenChar(char c) {
  if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
  return std::string_view("!#$%&'*+-.^_`|~").find(c) != std::string_view::npos;
}

bool IsToken(std::string_view s) {
  return !s.empty() && std::all_of(s.begin(), s.end(), IsTokenChar);
}

// Visible characters and spaces only: no controls but tab, no DEL.
bool IsFieldValue(std::string_view s) {
  for (char c : s) {
    const auto u = static_cast<unsigned char>(c);
    if ((u < 0x20 && c != '\t') || u == 0x7F) return false;
  }
  return true;
}

bool IsVisible(std::string_view s) {
  for (char c : s) {
    const auto u = static_cast<unsigned char>(c);
    if (u <= 0x20 || u == 0x7F) return false;
  }
  return !s.empty();
}

bool ParseDecimal(std::string_view s, std::size_t max_digits, std::size_t* value) {
  if (s.empty() || s.size() > max_digits) return false;
  std::size_t v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + static_cast<std::size_t>(c - '0');
  }
  *value = v;
  return true;
}

// Splits a head (without its final empty line) into lines; every line must
// end with CRLF and hold no other CR or LF.
bool SplitLines(std::string_view head, std::vector<std::string_view>* lines, std::string* why) {
  std::size_t at = 0;
  while (at < head.size()) {
    const std::size_t end = head.find("\r\n", at);
    if (end == std::string_view::npos) {
      *why = "a line does not end with CRLF";
      return false;
    }
    const std::string_view line = head.substr(at, end - at);
    if (line.find_first_of("\r\n") != std::string_view::npos) {
      *why = "a bare CR or LF inside a line";
      return false;
    }
    lines->push_back(line);
    at = end + 2;
  }
  return true;
}

bool ParseFieldLines(const std::vector<std::string_view>& lines, Fields* fields, std::string* why) {
  if (lines.size() > kFieldLimit + 1) {
    *why = "more than " + std::to_string(kFieldLimit) + " header fields";
    return false;
  }
  for (std::size_t i = 1; i < lines.size(); ++i) {
    const std::string_view line = lines[i];
    const std::size_t colon = line.find(':');
    if (colon == std::string_view::npos || !IsToken(line.substr(0, colon))) {
      // Also a folded continuation line, which starts with white space.
      *why = "malformed header field '" + std::string(line.substr(0, 60)) + "'";
      return false;
    }
    const std::string_view value = TrimView(line.substr(colon + 1));
    if (!IsFieldValue(value)) {
      *why = "control characters in the field " + std::string(line.substr(0, colon));
      return false;
    }
    fields->emplace_back(std::string(line.substr(0, colon)), std::string(value));
  }
  return true;
}

bool IsBodyEntity(std::string_view name) {
  return name == "req-body" || name == "res-body" || name == "null-body" || name == "opt-body";
}

}  // namespace

const std::string* FindField(const Fields& fields, std::string_view name) {
  for (const auto& f : fields) {
    if (EqualNoCase(f.first, name)) return &f.second;
  }
  return nullptr;
}

bool HasToken(const Fields& fields, std::string_view name, std::string_view token) {
  for (const auto& f : fields) {
    if (!EqualNoCase(f.first, name)) continue;
    std::string_view v = f.second;
    while (!v.empty()) {
      const std::size_t comma = v.find(',');
      if (EqualNoCase(TrimView(v.substr(0, comma)), token)) return true;
      if (comma == std::string_view::npos) break;
      v.remove_prefix(comma + 1);
    }
  }
  return false;
}

std::size_t IcapRequest::header_bytes() const {
  return encapsulated.empty() ? 0 : encapsulated.back().offset;
}

bool IcapRequest::has_body() const {
  return !encapsulated.empty() && encapsulated.back().name != "null-body";
}

bool IcapRequest::Section(std::string_view name, std::size_t* offset, std::size_t* size) const {
  for (std::size_t i = 0; i + 1 < encapsulated.size(); ++i) {
    if (encapsulated[i].name != name) continue;
    *offset = encapsulated[i].offset;
    *size = encapsulated[i + 1].offset - encapsulated[i].offset;
    return true;
  }
  return false;
}

bool ParseEncapsulated(std::string_view method, std::string_view value, std::vector<Entity>* out,
                       std::string* why) {
  out->clear();
  std::string_view v = value;
  for (;;) {
    const std::size_t comma = v.find(',');
    const std::string_view item = TrimView(v.substr(0, comma));
    const std::size_t eq = item.find('=');
    Entity e;
    if (eq == std::string_view::npos || !ParseDecimal(item.substr(eq + 1), 9, &e.offset)) {
      *why = "Encapsulated: '" + std::string(item) + "' is not name=offset";
      return false;
    }
    e.name = proxy::Lower(item.substr(0, eq));
    static const char* const kNames[] = {"req-hdr",  "res-hdr",   "req-body",
                                         "res-body", "null-body", "opt-body"};
    if (std::find(std::begin(kNames), std::end(kNames), e.name) == std::end(kNames)) {
      *why = "Encapsulated: unknown entity '" + e.name + "'";
      return false;
    }
    out->push_back(std::move(e));
    if (comma == std::string_view::npos) break;
    v.remove_prefix(comma + 1);
  }
  if (out->front().offset != 0) {
    *why = "Encapsulated: the first entity must be at offset 0";
    return false;
  }
  for (std::size_t i = 1; i < out->size(); ++i) {
    if ((*out)[i].offset <= (*out)[i - 1].offset) {
      *why = "Encapsulated: offsets must ascend, and a header section cannot be empty";
      return false;
    }
  }
  // The names in order must spell one of the forms the method allows.
  std::string form;
  for (const Entity& e : *out) form += e.name + " ";
  const std::string body = out->back().name;
  if (!IsBodyEntity(body)) {
    *why = "Encapsulated: the list must end with a body entity";
    return false;
  }
  std::vector<std::string> allowed;
  if (method == "REQMOD") {
    allowed = {"req-body ", "null-body ", "req-hdr req-body ", "req-hdr null-body "};
  } else if (method == "RESPMOD") {
    for (const char* b : {"res-body ", "null-body "}) {
      for (const char* h : {"", "req-hdr ", "res-hdr ", "req-hdr res-hdr "}) {
        allowed.push_back(std::string(h) + b);
      }
    }
  } else {
    allowed = {"opt-body ", "null-body "};
  }
  if (std::find(allowed.begin(), allowed.end(), form) == allowed.end()) {
    form.pop_back();
    *why = "Encapsulated: '" + form + "' is not a form " + std::string(method) + " allows";
    return false;
  }
  return true;
}

ParseResult ParseIcapHead(std::string_view input, std::size_t limit, IcapRequest* request,
                          std::size_t* head_size, std::string* why) {
  const std::size_t end = input.substr(0, limit).find("\r\n\r\n");
  if (end == std::string_view::npos) {
    if (input.size() < limit) return ParseResult::kIncomplete;
    *why = "the ICAP head is larger than " + std::to_string(limit) + " bytes";
    return ParseResult::kBad;
  }
  *request = IcapRequest();
  std::vector<std::string_view> lines;
  if (!SplitLines(input.substr(0, end + 2), &lines, why)) return ParseResult::kBad;
  const std::string_view line = lines.front();
  const std::size_t sp1 = line.find(' ');
  const std::size_t sp2 = sp1 == std::string_view::npos ? sp1 : line.find(' ', sp1 + 1);
  if (sp2 == std::string_view::npos || line.substr(sp2 + 1) != "ICAP/1.0" ||
      !IsToken(line.substr(0, sp1)) || !IsVisible(line.substr(sp1 + 1, sp2 - sp1 - 1))) {
    *why = "malformed request line '" + std::string(line.substr(0, 100)) + "'";
    return ParseResult::kBad;
  }
  request->method = std::string(line.substr(0, sp1));
  request->uri = std::string(line.substr(sp1 + 1, sp2 - sp1 - 1));
  if (request->uri.size() < 7 ||
      !EqualNoCase(std::string_view(request->uri).substr(0, 7), "icap://")) {
    *why = "the request URI '" + request->uri + "' is not an icap:// URI";
    return ParseResult::kBad;
  }
  const std::size_t slash = request->uri.find('/', 7);
  if (slash != std::string::npos) {
    request->service = request->uri.substr(slash, request->uri.find('?', slash) - slash);
  }
  if (!ParseFieldLines(lines, &request->fields, why)) return ParseResult::kBad;

  std::size_t count = 0;
  for (const auto& f : request->fields) count += EqualNoCase(f.first, "Encapsulated") ? 1 : 0;
  if (count > 1) {
    *why = "more than one Encapsulated field";
    return ParseResult::kBad;
  }
  if (const std::string* e = FindField(request->fields, "Encapsulated")) {
    if (!ParseEncapsulated(request->method, *e, &request->encapsulated, why)) {
      return ParseResult::kBad;
    }
  } else if (request->method == "REQMOD" || request->method == "RESPMOD") {
    *why = request->method + " without an Encapsulated field";
    return ParseResult::kBad;
  }
  if (const std::string* p = FindField(request->fields, "Preview")) {
    if (!ParseDecimal(*p, 9, &request->preview)) {
      *why = "Preview: '" + *p + "' is not a byte count";
      return ParseResult::kBad;
    }
    request->has_preview = true;
  }
  request->allow_204 = HasToken(request->fields, "Allow", "204");
  request->keep_alive = !HasToken(request->fields, "Connection", "close");
  *head_size = end + 4;
  return ParseResult::kDone;
}

bool ParseHttpHead(std::string_view section, bool response, HttpHead* head, std::string* why) {
  *head = HttpHead();
  if (section.size() < 4 || section.find("\r\n\r\n") != section.size() - 4) {
    *why = "an encapsulated header section must end with its one empty line";
    return false;
  }
  std::vector<std::string_view> lines;
  if (!SplitLines(section.substr(0, section.size() - 2), &lines, why)) return false;
  const std::string_view line = lines.front();
  head->start_line = std::string(line);
  const std::size_t sp1 = line.find(' ');
  const std::size_t sp2 = sp1 == std::string_view::npos ? sp1 : line.find(' ', sp1 + 1);
  auto version = [](std::string_view v) {
    return v.size() == 8 && v.substr(0, 5) == "HTTP/" && v[5] >= '0' && v[5] <= '9' &&
           v[6] == '.' && v[7] >= '0' && v[7] <= '9';
  };
  bool good = sp1 != std::string_view::npos;
  if (good && response) {
    head->first = std::string(line.substr(0, sp1));
    head->second =
        std::string(line.substr(sp1 + 1, sp2 == std::string_view::npos ? sp2 : sp2 - sp1 - 1));
    head->third = sp2 == std::string_view::npos ? "" : std::string(line.substr(sp2 + 1));
    std::size_t status = 0;
    good = version(head->first) && head->second.size() == 3 &&
           ParseDecimal(head->second, 3, &status) && status >= 100 && IsFieldValue(head->third);
    head->status = static_cast<int>(status);
  } else if (good) {
    good = sp2 != std::string_view::npos;
    if (good) {
      head->first = std::string(line.substr(0, sp1));
      head->second = std::string(line.substr(sp1 + 1, sp2 - sp1 - 1));
      head->third = std::string(line.substr(sp2 + 1));
      good = IsToken(head->first) && IsVisible(head->second) && version(head->third);
    }
  }
  if (!good) {
    *why = std::string("malformed HTTP ") + (response ? "status" : "request") + " line '" +
           std::string(line.substr(0, 100)) + "'";
    return false;
  }
  return ParseFieldLines(lines, &head->fields, why);
}

std::string FormatHttpHead(const HttpHead& head, const std::vector<std::string>& skip) {
  std::string out = head.start_line + "\r\n";
  for (const auto& f : head.fields) {
    if (std::find(skip.begin(), skip.end(), proxy::Lower(f.first)) != skip.end()) continue;
    out += f.first + ": " + f.second + "\r\n";
  }
  return out + "\r\n";
}

std::string RequestHost(const HttpHead& request) {
  std::string_view authority;
  const std::string_view target = request.second;
  const std::size_t scheme = target.find("://");
  if (scheme != std::string_view::npos && target.find('/') > scheme) {
    authority = target.substr(scheme + 3);
    authority = authority.substr(0, authority.find_first_of("/?#"));
    const std::size_t at = authority.rfind('@');
    if (at != std::string_view::npos) authority.remove_prefix(at + 1);
  } else if (const std::string* host = FindField(request.fields, "Host")) {
    authority = *host;
  }
  if (!authority.empty() && authority.front() == '[') {
    return std::string(authority.substr(0, authority.find(']') + 1));
  }
  return std::string(authority.substr(0, authority.find(':')));
}

ParseResult ChunkDecoder::Feed(std::string_view input, std::size_t* used, std::string* out,
                               std::string* why) {
  std::size_t at = 0;
  // Collects one CRLF-ended line into line_; true when it is complete.
  auto line = [&](std::size_t limit) -> int {
    while (at < input.size()) {
      const char c = input[at++];
      if (c == '\n') {
        if (line_.empty() || line_.back() != '\r') return -1;
        line_.pop_back();
        return 1;
      }
      if (!line_.empty() && line_.back() == '\r') return -1;
      if (line_.size() >= limit) return -1;
      line_ += c;
    }
    return 0;
  };
  while (state_ != State::kDone) {
    if (state_ == State::kData) {
      if (at == input.size()) break;
      const std::size_t n = static_cast<std::size_t>(std::min<uint64_t>(left_, input.size() - at));
      out->append(input.data() + at, n);
      at += n;
      left_ -= n;
      if (left_ == 0) state_ = State::kDataEnd;
      continue;
    }
    const int got = line(state_ == State::kDataEnd ? 1 : kLineLimit);
    if (got == 0) break;
    if (got < 0) {
      *used = at;
      *why = state_ == State::kDataEnd ? "chunk data not followed by CRLF"
                                       : "a chunk line is malformed or too long";
      return ParseResult::kBad;
    }
    const std::string text = std::move(line_);
    line_.clear();
    if (state_ == State::kDataEnd) {
      if (!text.empty()) {
        *used = at;
        *why = "chunk data not followed by CRLF";
        return ParseResult::kBad;
      }
      state_ = State::kSize;
    } else if (state_ == State::kSize) {
      std::size_t digits = 0;
      uint64_t size = 0;
      while (digits < text.size() && std::isxdigit(static_cast<unsigned char>(text[digits]))) {
        const char c = LowerChar(text[digits]);
        size = size * 16 + static_cast<uint64_t>(c <= '9' ? c - '0' : c - 'a' + 10);
        ++digits;
      }
      std::string_view ext = TrimView(std::string_view(text).substr(digits));
      if (digits == 0 || digits > 10 || (!ext.empty() && ext.front() != ';') ||
          !IsFieldValue(ext)) {
        *used = at;
        *why = "malformed chunk size '" + text.substr(0, 40) + "'";
        return ParseResult::kBad;
      }
      if (size > 0) {
        left_ = size;
        state_ = State::kData;
        continue;
      }
      while (!ext.empty()) {
        ext.remove_prefix(1);
        const std::size_t semi = ext.find(';');
        const std::string_view name = TrimView(ext.substr(0, ext.substr(0, semi).find('=')));
        if (EqualNoCase(name, "ieof")) ieof_ = true;
        ext = semi == std::string_view::npos ? std::string_view() : ext.substr(semi);
      }
      state_ = State::kTrailer;
      trailers_ = 0;
    } else if (text.empty()) {
      state_ = State::kDone;
    } else if (++trailers_ > kTrailerLimit) {
      *used = at;
      *why = "too many trailer lines";
      return ParseResult::kBad;
    }
  }
  *used = at;
  return state_ == State::kDone ? ParseResult::kDone : ParseResult::kIncomplete;
}

}  // namespace velquor::host
