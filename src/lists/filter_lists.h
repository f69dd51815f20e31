// Community filter lists in the Adblock Plus syntax: a parser that sorts each
// line into what it is, and a compiled engine that judges requests (block,
// allow or nothing) and gives the element-hiding selectors for a page.
//
// An Engine is built once from the texts of its lists and never changes
// afterwards, so one shared_ptr<const Engine> may be used from any number of
// threads at once; a reload builds a new engine and swaps the pointer.
#ifndef VELQUOR_LISTS_FILTER_LISTS_H_
#define VELQUOR_LISTS_FILTER_LISTS_H_

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace velquor::lists {

// What a request fetches. The names are the options of the list syntax.
enum class RequestType : uint8_t {
  kOther,
  kScript,
  kImage,
  kStylesheet,
  kObject,
  kXmlHttpRequest,
  kSubdocument,
  kMedia,
  kFont,
  kWebsocket,
  kPing,
  kDocument,
  kPopup,
};

// The type named by `name` ("script", "xhr", "fetch", "document", ...);
// false for a name that is no type.
bool ParseRequestType(std::string_view name, RequestType* type);
const char* RequestTypeName(RequestType type);

// What became of one line of a list.
enum class LineKind : uint8_t {
  kBlank,
  kComment,  // "! ..." and the "[Adblock Plus ...]" header
  kNetwork,  // a blocking or exception rule, used
  kHiding,   // an element-hiding rule or exception, used
  kSkipped,  // well formed but something a proxy cannot do
  kBad,      // broken: bad regular expression, overlong line, zero byte, ...
};

struct LineReport {
  int line = 0;
  LineKind kind = LineKind::kBlank;
  std::string reason;  // for kSkipped and kBad
};

// The counts of one list and the lines that were not used.
struct ListSummary {
  std::string name;
  std::string title;          // "! Title:", when given
  int expires_hours = 0;      // "! Expires:", 0 when not given
  bool has_header = false;    // "[Adblock Plus ...]"
  bool markup = false;        // the text begins like an HTML page
  int network = 0;            // rules used, by kind
  int hiding = 0;
  int comments = 0;
  int skipped = 0;
  int bad = 0;
  std::vector<LineReport> problems;  // each skipped or bad line, in order
  int used() const { return network + hiding; }
  // Whether the text is a filter list at all: something was used and the
  // text is not a web page or a mostly broken file.
  bool LooksLikeAList() const;
};

// One list to build an engine from.
struct ListText {
  std::string name;
  std::string text;
};

struct Decision {
  enum Kind : uint8_t { kNone, kBlock, kAllow };
  Kind kind = kNone;
  std::string_view rule;  // the rule's text as written in its list
  std::string_view list;  // the list's name
  int line = 0;           // the rule's line in its list
};

// The element hiding that applies to one page.
struct PageHiding {
  bool enabled = true;   // false: an exception turns all hiding off here
  bool generic = true;   // false: generic rules do not apply here
  std::string host;      // the page's host
  // Site-specific selectors, and the generic ones that name no class or id
  // (those always apply), less the exceptions.
  std::vector<std::string_view> selectors;
  // Selectors that an exception takes away on this page, sorted.
  std::vector<std::string_view> exceptions;
};

class Engine {
 public:
  // Builds an engine from `lists`. `summaries`, when given, gets one entry
  // per list in order.
  static std::shared_ptr<const Engine> Build(std::vector<ListText> lists,
                                             std::vector<ListSummary>* summaries = nullptr);
  ~Engine();
  Engine(const Engine&) = delete;
  Engine& operator=(const Engine&) = delete;

  // The decision for a request of `url`, made by the page `source` ("" when
  // unknown: it then counts as third-party). An `important` blocking rule
  // wins over exceptions, an exception over other blocking rules.
  Decision Match(std::string_view url, std::string_view source, RequestType type) const;

  // True when every request to `host` is blocked, whatever its type, party
  // and path, and no exception could allow one: a tunnel to it may be
  // refused without seeing the requests.
  bool BlocksWholeHost(std::string_view host) const;

  // The element hiding of the page at `page_url`.
  PageHiding Hiding(std::string_view page_url) const;
  // The generic selectors keyed by one of `classes` or `ids` (as they occur
  // in the page, without "." or "#"), for a page of `hiding`; none when
  // generic hiding is off there. Each selector is given once.
  std::vector<std::string_view> GenericSelectors(const PageHiding& hiding,
                                                 const std::vector<std::string>& classes,
                                                 const std::vector<std::string>& ids) const;
  // The text of a <style> element's content that hides `selectors`: one
  // rule per selector, so that a selector a browser does not know spoils
  // only itself.
  static std::string StyleText(const std::vector<std::string_view>& selectors);

  int network_rules() const;
  int hiding_rules() const;

  struct Impl;

 private:
  explicit Engine(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

// Reads one list's text without building anything: the counts and every
// skipped or bad line, as `velquor lists check` shows them.
ListSummary CheckList(const std::string& name, std::string_view text);

// Longest line a list may have; a longer one is bad.
inline constexpr std::size_t kMaxLineBytes = 32 * 1024;
// Regular-expression rules are not tried on longer URLs: the standard
// library's matcher backtracks, and its time grows with the URL.
inline constexpr std::size_t kMaxRegexUrlBytes = 2048;

}  // namespace velquor::lists

#endif  // VELQUOR_LISTS_FILTER_LISTS_H_
