#include "engine/scores.h"

namespace velquor {

int32_t SizeScore(int32_t, int32_t) { return 0; }
int32_t CountOccurrences(const std::string&, const std::string&) { return 0; }
int32_t KeywordScore(const std::string&) { return 0; }
int32_t KeywordScore(const std::string&, std::vector<KeywordHit>*) {
  return 0;
}
int32_t KeywordScoreByScanning(const std::string&, std::vector<KeywordHit>*) {
  return 0;
}

}  // namespace velquor
