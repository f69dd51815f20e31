// The link and image judge and the applet judge: each decides whether one
// segment cut out by the page scanner is an advertisement and returns the
// text that takes its place. Both run on one scoring core, which can also
// hand back a full account of a decision (the sizes read, every keyword rule
// that hit, the bonuses, the total and the threshold) for `velquor explain`,
// so that an explanation and the filter always agree.
//
// Called by the page scanner on the thread of the filter object that reads
// the page. The state shared between threads is the process-wide remembered
// ad link (guarded by its own lock) and the store's "Killed" total (each
// increment atomic in the store).
#ifndef VELQUOR_ENGINE_JUDGES_H_
#define VELQUOR_ENGINE_JUDGES_H_

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "engine/scores.h"
#include "platform/mutex.h"
#include "settings/store.h"

namespace velquor {

// Judges a link segment ("<A " up to its "</A>", in the page's own letter
// case). Returns the segment unchanged, the empty text, or the replacement
// markup; may set `modified` to 1 and add 1 to `removed`, nothing else.
std::string JudgeLinkSegment(const std::string& segment, int32_t& modified, int32_t& removed);

// The same for an applet segment ("<APPLET " up to its "</APPLET>").
std::string JudgeAppletSegment(const std::string& segment, int32_t& modified, int32_t& removed);

// The score added to a link that leads where the last removed advertisement
// led, and the penalty of a link without an image tag.
inline constexpr int32_t kRepeatBonus = 200;
inline constexpr int32_t kNoImagePenalty = -50;

// The upper-cased target of the last link removed as an advertisement. One
// instance lives for the whole process (ProcessAdLink()); `velquor explain`
// uses a private one so that it starts empty and leaves the process's alone.
// Every member is safe to call from any thread at any time.
class RememberedAdLink {
 public:
  constexpr RememberedAdLink() = default;
  RememberedAdLink(const RememberedAdLink&) = delete;
  RememberedAdLink& operator=(const RememberedAdLink&) = delete;

  // True when a link is remembered and equals `target` byte for byte.
  bool Matches(std::string_view target) const;
  // Remembers `target` (the empty text forgets).
  void Remember(std::string_view target);
  // The remembered link, "" when none.
  std::string Get() const;

 private:
  mutable Mutex mutex_;
  // Held by pointer so that the object is constant-initialised: it is ready
  // before any start-up code of the library runs.
  std::unique_ptr<std::string> link_;
  // The length of the remembered link (0: none), readable without the lock.
  std::atomic<std::size_t> size_{0};
};

// The remembered ad link of this process; empty when the library is loaded.
RememberedAdLink& ProcessAdLink();

enum class SegmentKind { kLink, kApplet };

enum class Verdict {
  kNotJudged,       // the judge is switched off ("Images" or "Applets" is 0)
  kKept,            // not an advertisement
  kRemoved,         // removed and counted, nothing in its place
  kReplaced,        // removed and counted, replacement markup in its place
  kRemovedAsRepeat  // removed silently as a repeat of the remembered link
};

// Everything one judgement saw and decided. Fields that a judge did not get
// to (the judge switched off, the threshold of a negative score) keep their
// defaults.
struct SegmentJudgement {
  SegmentKind kind = SegmentKind::kLink;
  Verdict verdict = Verdict::kNotJudged;
  std::string tag;  // "<IMG ", "<FIG ", "<OVERLAY ", "<APPLET "; "" if none
  int32_t width = 0;
  int32_t height = 0;
  int32_t size_score = 0;
  int32_t penalty = 0;  // kNoImagePenalty for a link without an image tag
  int32_t keyword_score = 0;
  std::vector<KeywordHit> keyword_hits;  // filled only when asked for
  std::string link_target;               // upper-cased HREF; links only
  int32_t repeat_bonus = 0;              // kRepeatBonus or 0
  int32_t total = 0;                     // wraps as signed 32-bit
  bool threshold_read = false;           // false for a negative total
  uint32_t threshold = 0;                // "Score"
};

// Where a judgement leaves its traces beyond the returned text and the page
// counters.
struct JudgeScope {
  RememberedAdLink* ad_link;  // compared and updated by the link judge
  bool count_killed;          // add each counted removal to "Killed"
  bool explain_keywords;      // fill SegmentJudgement::keyword_hits
};

// While one lives, the judges on the calling thread take "Images",
// "Applets", "Score" and "Replace" from `settings` instead of the store: the
// page scanner sets it for each chunk. Scopes nest.
class ChunkSettingsScope {
 public:
  explicit ChunkSettingsScope(const SettingsSnapshot* settings);
  ~ChunkSettingsScope();
  ChunkSettingsScope(const ChunkSettingsScope&) = delete;
  ChunkSettingsScope& operator=(const ChunkSettingsScope&) = delete;

 private:
  const SettingsSnapshot* previous_;
};

// The judges' one implementation. Judges `segment` of `kind` as the two
// judges above do, with the remembered link and the "Killed" counting of
// `scope`; fills `judgement` when it is not null. Returns the text that takes
// the segment's place.
std::string JudgeSegment(SegmentKind kind, const std::string& segment, int32_t& modified,
                         int32_t& removed, const JudgeScope& scope, SegmentJudgement* judgement);

// What JudgeLinkSegment and JudgeAppletSegment do, for the scanner, without
// copies: judges `segment` where it lies, with `*judged` as room for its
// judged copy (kept between calls, so it is not allocated again). False when
// the segment stays as it is; true when it goes, with what takes its place
// in *result.
bool JudgeSegmentInPlace(SegmentKind kind, std::string_view segment, int32_t& modified,
                         int32_t& removed, std::string* judged, std::string* result);

}  // namespace velquor

#endif  // VELQUOR_ENGINE_JUDGES_H_
