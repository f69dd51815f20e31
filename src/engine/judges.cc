#include "engine/judges.h"

#include <iterator>
#include <string_view>

#include "engine/replacement_markup.h"
#include "settings/store.h"
#include "text/text_helpers.h"

namespace velquor {
namespace {

// What sets the two judges apart; everything else is shared.
struct JudgeTraits {
  const StoreValue* switch_setting;  // "Images" or "Applets"
  uint32_t SettingsSnapshot::*switch_field;
  const char* const* tags;  // tags searched, in order of preference
  std::size_t tag_count;
  int32_t no_tag_penalty;  // score when none of the tags is found
  bool uses_ad_link;       // compares and updates the remembered link
};

constexpr const char* kImageTags[] = {"<IMG ", "<FIG ", "<OVERLAY "};
constexpr const char* kAppletTags[] = {"<APPLET "};

constexpr JudgeTraits kLinkTraits = {
    &kImages, &SettingsSnapshot::images, kImageTags, std::size(kImageTags), kNoImagePenalty, true};
constexpr JudgeTraits kAppletTraits = {
    &kApplets, &SettingsSnapshot::applets, kAppletTags, std::size(kAppletTags), 0, false};

// The settings of the chunk being scanned on this thread; null outside one.
// A plain pointer: nothing to destroy when a thread or the library ends.
thread_local const SettingsSnapshot* chunk_settings = nullptr;

uint32_t Setting(const StoreValue& v, uint32_t SettingsSnapshot::*field) {
  const SettingsSnapshot* settings = chunk_settings;
  return settings != nullptr ? settings->*field : ReadSetting(v);
}

// The process-wide link: constant-initialised, so it is ready before any
// constructor of the library runs, and destroyed when the library unloads.
constinit RememberedAdLink process_ad_link;

// Signed 32-bit sum that wraps instead of overflowing.
int32_t WrappingAdd(int32_t a, int32_t b) {
  return static_cast<int32_t>(static_cast<uint32_t>(a) + static_cast<uint32_t>(b));
}

// The tag text: from the tag's "<" to four bytes after the start of its
// first ">" (the ">" and the three bytes after it), or to the end.
std::string_view TagText(std::string_view judged, std::size_t start) {
  std::size_t close = judged.find('>', start);
  if (close == std::string_view::npos) return judged.substr(start);
  return judged.substr(start, close - start + 4);
}

// Scores the judged copy and decides; leaves the verdict kKept or kRemoved
// (counting, replacing and repeats are the caller's).
// `link_target` is set to a view of the judged copy; j.link_target is filled
// only when `keep_target` is set.
void Score(const JudgeTraits& traits, const std::string& judged, const RememberedAdLink& ad_link,
           bool explain_keywords, bool keep_target, std::string_view& link_target,
           SegmentJudgement& j) {
  std::size_t start = std::string::npos;
  for (std::size_t i = 0; i < traits.tag_count && start == std::string::npos; ++i) {
    start = judged.find(traits.tags[i]);
    if (start != std::string::npos) j.tag = traits.tags[i];
  }
  if (start == std::string::npos) {
    j.penalty = traits.no_tag_penalty;
  } else {
    const std::string_view tag_text = TagText(judged, start);
    j.height = ReadNumberAttribute(tag_text, "HEIGHT");
    j.width = ReadNumberAttribute(tag_text, "WIDTH");
  }
  j.size_score = SizeScore(j.width, j.height);
  j.keyword_score = explain_keywords ? KeywordScore(judged, &j.keyword_hits) : KeywordScore(judged);
  if (traits.uses_ad_link) {
    link_target = ReadJudgedAttributeView(judged, "HREF");
    // The judged copy outlives the judgement; only an account keeps a copy.
    if (keep_target) j.link_target = link_target;
    if (ad_link.Matches(link_target)) j.repeat_bonus = kRepeatBonus;
  }
  j.total = WrappingAdd(WrappingAdd(j.penalty, j.size_score),
                        WrappingAdd(j.keyword_score, j.repeat_bonus));

  j.verdict = Verdict::kKept;
  if (j.total < 0) return;
  j.threshold = Setting(kScore, &SettingsSnapshot::score);
  j.threshold_read = true;
  if (static_cast<uint32_t>(j.total) >= j.threshold) j.verdict = Verdict::kRemoved;
}

}  // namespace

bool RememberedAdLink::Matches(std::string_view target) const {
  // Most links differ from the remembered one in length already: that needs
  // no lock. (A link remembered meanwhile by another thread is seen or not,
  // as it would be a moment earlier or later.)
  if (size_.load(std::memory_order_acquire) != target.size()) return false;
  std::lock_guard<Mutex> lock(mutex_);
  return link_ != nullptr && !IsEmptyText(*link_) && *link_ == target;
}

void RememberedAdLink::Remember(std::string_view target) {
  {
    // Ad links are of similar lengths, so after the first few the text held
    // has room for the next and the assignment does not allocate.
    std::lock_guard<Mutex> lock(mutex_);
    if (link_ != nullptr && link_->capacity() >= target.size()) {
      link_->assign(target);
      size_.store(target.size(), std::memory_order_release);
      return;
    }
  }
  // A longer text is built outside the lock: the copy allocates.
  auto copy = std::make_unique<std::string>(target);
  std::lock_guard<Mutex> lock(mutex_);
  link_.swap(copy);
  size_.store(target.size(), std::memory_order_release);
}

std::string RememberedAdLink::Get() const {
  std::lock_guard<Mutex> lock(mutex_);
  return link_ ? *link_ : std::string();
}

RememberedAdLink& ProcessAdLink() { return process_ad_link; }

ChunkSettingsScope::ChunkSettingsScope(const SettingsSnapshot* settings)
    : previous_(chunk_settings) {
  chunk_settings = settings;
}

ChunkSettingsScope::~ChunkSettingsScope() { chunk_settings = previous_; }

namespace {

// The judges' core: judges `segment` with `judged` as room for its judged
// copy. False when the segment stays; true when it goes, with what takes its
// place in *result.
bool JudgeCore(SegmentKind kind, std::string_view segment, int32_t& modified, int32_t& removed,
               const JudgeScope& scope, bool keep_target, SegmentJudgement& j, std::string& judged,
               std::string* result) {
  const JudgeTraits& traits = kind == SegmentKind::kLink ? kLinkTraits : kAppletTraits;
  j = SegmentJudgement();
  j.kind = kind;
  if (Setting(*traits.switch_setting, traits.switch_field) == 0) return false;

  JudgedCopyInto(segment, &judged);
  std::string_view link_target;
  Score(traits, judged, *scope.ad_link, scope.explain_keywords, keep_target, link_target, j);
  if (j.verdict == Verdict::kKept) return false;

  result->clear();
  if (j.repeat_bonus != 0) {
    j.verdict = Verdict::kRemovedAsRepeat;
  } else {
    modified = 1;
    removed = static_cast<int32_t>(static_cast<uint32_t>(removed) + 1u);
    if (scope.count_killed) IncrementCounter(kKilled);
    if (Setting(kReplace, &SettingsSnapshot::replace) != 0) {
      *result = BuildReplacementMarkup(std::string(segment), j.height, j.width);
      j.verdict = Verdict::kReplaced;
    }
  }
  if (traits.uses_ad_link) scope.ad_link->Remember(link_target);
  return true;
}

constexpr JudgeScope kProcessScope = {&process_ad_link, true, false};

}  // namespace

std::string JudgeSegment(SegmentKind kind, const std::string& segment, int32_t& modified,
                         int32_t& removed, const JudgeScope& scope, SegmentJudgement* judgement) {
  SegmentJudgement local;
  std::string judged;
  std::string result;
  if (!JudgeCore(kind, segment, modified, removed, scope, judgement != nullptr,
                 judgement ? *judgement : local, judged, &result)) {
    return segment;
  }
  return result;
}

bool JudgeSegmentInPlace(SegmentKind kind, std::string_view segment, int32_t& modified,
                         int32_t& removed, std::string* judged, std::string* result) {
  SegmentJudgement j;
  return JudgeCore(kind, segment, modified, removed, kProcessScope, false, j, *judged, result);
}

std::string JudgeLinkSegment(const std::string& segment, int32_t& modified, int32_t& removed) {
  return JudgeSegment(SegmentKind::kLink, segment, modified, removed, kProcessScope, nullptr);
}

std::string JudgeAppletSegment(const std::string& segment, int32_t& modified, int32_t& removed) {
  return JudgeSegment(SegmentKind::kApplet, segment, modified, removed, kProcessScope, nullptr);
}

}  // namespace velquor
