// Element hiding on a page on its way to the browser: a <style> that hides
// what the filter lists select there. The site's own selectors (and the
// generic ones that need no class or id) go in early, right after <head> in
// the first piece; the generic selectors keyed by a class or id go in only
// for the classes and ids the page really has, gathered while the page
// passes, before </body> or at the end. No piece of the page is held back.
#ifndef VELQUOR_HOST_PROXY_ELEMENT_HIDING_H_
#define VELQUOR_HOST_PROXY_ELEMENT_HIDING_H_

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "lists/filter_lists.h"

namespace velquor::host::proxy {

class ElementHiding {
 public:
  // The hiding for the page at `page_url`; null when nothing can be hidden
  // there (no hiding rules, or an exception turns hiding off).
  static std::unique_ptr<ElementHiding> Start(std::shared_ptr<const lists::Engine> engine,
                                              std::string_view page_url);

  // Adds the styles due to `piece`, the next part of the page as the
  // browser gets it; `last` for the final one.
  void Pass(std::string* piece, bool last);

  // Most classes and ids gathered from one page; a page with more gets the
  // generic rules of the first ones only.
  static constexpr std::size_t kMaxNames = 50000;
  // A tag longer than this is not read for its class or id.
  static constexpr std::size_t kMaxTag = 64 * 1024;

 private:
  enum class State { kText, kTag, kQuoted, kComment, kRaw };

  ElementHiding(std::shared_ptr<const lists::Engine> engine, lists::PageHiding hiding)
      : engine_(std::move(engine)), hiding_(std::move(hiding)) {}
  // A whole tag (its text between < and >) that began at `start` in the
  // piece (npos: in an earlier one) and ends before `end`.
  void Tag(std::size_t start, std::size_t end);
  void Note(std::string_view name, bool is_class);
  // A <style> with the generic selectors not sent yet; "" when none.
  std::string GenericStyle();

  std::shared_ptr<const lists::Engine> engine_;
  lists::PageHiding hiding_;
  State state_ = State::kText;
  std::string tag_;  // the tag being read, after its '<'
  std::size_t tag_start_ = 0;
  char quote_ = 0;
  std::string raw_end_;                       // "/script" or "/style" inside one
  std::size_t matched_ = 0;                   // characters of a comment's end or raw_end_ seen
  bool first_ = true;                         // the site's style is still to come
  bool at_start_ = true;                      // no byte of the page has passed yet
  bool content_ = false;                      // text or an element other than <html> or <head>
  std::size_t early_at_ = std::string::npos;  // after <head>, <html> or <!doctype>
  std::size_t early_rank_ = 0;
  std::size_t body_end_at_ = std::string::npos;
  bool body_end_done_ = false;
  std::unordered_set<std::string> names_;
  std::vector<std::string> new_classes_;
  std::vector<std::string> new_ids_;
  std::unordered_set<const char*> sent_;
};

}  // namespace velquor::host::proxy

#endif  // VELQUOR_HOST_PROXY_ELEMENT_HIDING_H_
