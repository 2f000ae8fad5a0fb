#include "platform/posix/zone_offsets.h"

#include <ctime>

namespace cvn::platform::posix {
namespace {

// The offsets are sampled once a week: no zone's rules change its offset and
// back again within a week (the shortest interruptions of summer time last
// about a month). Each change found is then narrowed to its second.
constexpr int64_t kSampleStep = 7 * 86400;
// Thirty years of two changes a year, with room for zones that change more.
constexpr int kMaxTransitions = 256;

struct Transition {
  int64_t at;   // first second of the new offset
  long offset;  // seconds east of UTC from then on
};

long g_initial_offset = 0;  // before the first transition
Transition g_transitions[kMaxTransitions];
int g_count = 0;

long OffsetFromLibrary(int64_t t) {
  const time_t value = static_cast<time_t>(t);
  struct tm local = {};
  return localtime_r(&value, &local) != nullptr ? local.tm_gmtoff : 0;
}

// The first second after before whose offset differs from before's; the
// offset at after differs.
int64_t FirstChange(int64_t before, int64_t after) {
  const long old_offset = OffsetFromLibrary(before);
  while (after - before > 1) {
    const int64_t middle = before + (after - before) / 2;
    if (OffsetFromLibrary(middle) == old_offset) {
      before = middle;
    } else {
      after = middle;
    }
  }
  return after;
}

}  // namespace

void LoadZoneOffsets(int64_t from, int64_t to) {
  tzset();
  g_count = 0;
  g_initial_offset = OffsetFromLibrary(from);
  long current = g_initial_offset;
  for (int64_t t = from; t < to && g_count < kMaxTransitions;) {
    const int64_t next = t + kSampleStep < to ? t + kSampleStep : to;
    if (OffsetFromLibrary(next) != current) {
      const int64_t at = FirstChange(t, next);
      current = OffsetFromLibrary(at);
      g_transitions[g_count++] = {at, current};
      t = at;
    } else {
      t = next;
    }
  }
}

long ZoneOffsetAt(int64_t t) {
  // The last transition at or before t, by bisection.
  int low = 0;
  int high = g_count;
  while (low < high) {
    const int middle = low + (high - low) / 2;
    if (g_transitions[middle].at <= t) {
      low = middle + 1;
    } else {
      high = middle;
    }
  }
  return low == 0 ? g_initial_offset : g_transitions[low - 1].offset;
}

}  // namespace cvn::platform::posix
