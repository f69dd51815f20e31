// Pass-through judges until the scoring engine is built.
#include "engine/judges.h"

namespace velquor {

std::string JudgeLinkSegment(const std::string& segment, int32_t&, int32_t&) {
  return segment;
}

std::string JudgeAppletSegment(const std::string& segment, int32_t&, int32_t&) {
  return segment;
}

}  // namespace velquor
