#include "core/shared_config.h"

#include <algorithm>
#include <cstdio>
#include <mutex>

#include "base/text.h"
#include "config/xml_document.h"
#include "control/ctrl_protocol.h"
#include "core/crc32.h"
#include "core/cvn_core.h"
#include "platform/clock.h"
#include "platform/file.h"
#include "platform/message_module.h"

namespace cvn {
namespace {

constexpr size_t kBuckets = 90;
// A configuration is a few kilobytes; a larger file is not one.
constexpr uint64_t kMaxSharedFileBytes = 4u * 1024u * 1024u;
// The changed keys a merge names in its log line.
constexpr size_t kListedSharedChanges = 40;
constexpr size_t kTypes = 4;
// Bucket width of each histogram, in 20-second steps.
constexpr int64_t kGranularity[CCVNCore::kHistogramCount] = {672, 336, 96, 24, 12, 4, 1};

int64_t SlotOf(int64_t now, size_t histogram) {
  return now / CCVNCore::kSecondaryPeriodSeconds / kGranularity[histogram];
}

// Moves a histogram's buckets d places towards the oldest; the newest d are
// empty afterwards.
void ShiftHistogram(std::vector<uint32_t>& h, int64_t d) {
  for (size_t type = 0; type < kTypes; ++type) {
    uint32_t* row = h.data() + type * kBuckets;
    if (d >= static_cast<int64_t>(kBuckets)) {
      std::fill(row, row + kBuckets, 0u);
      continue;
    }
    const size_t step = static_cast<size_t>(d);
    std::copy(row + step, row + kBuckets, row);
    std::fill(row + kBuckets - step, row + kBuckets, 0u);
  }
}

void Trace(CCVNCore& core, const char* message) {
  if (TraceLogEnabled) core.Log('N', "Trace", message);
}

// Seconds to the next multiple of the period, in milliseconds.
uint32_t MsToNextBoundary(int64_t now) {
  const int64_t period = CCVNCore::kSecondaryPeriodSeconds;
  return static_cast<uint32_t>((period - ((now % period) + period) % period) * 1000);
}

// One wake-up on a boundary: statistics, then the shared file.
void OnBoundary(CCVNCore& core, int64_t now) {
  const bool told = core.ShiftStatistics(now);
  if (core.statistics_changed.exchange(false) && !told) {
    int ignored = 0;
    core.CI_CallMethod(control::kNotifyStatisticsChanged, ignored);
  }
  CCVNSettings& settings = core.Settings();
  if (!settings.Settings_TrackChanges.value || settings.Settings_SharedFilePath.value.empty()) {
    return;
  }
  if (core.IsTimeToCheckSharedFile(now)) core.MergeSharedConfig();
}

}  // namespace

uint32_t SecondaryServerThread(CCVNCore& core) {
  platform::Event* stop = core.ThreadStopEvent(CoreThread::kSecondary);
  if (stop == nullptr) return 0;
  Trace(core, "Secondary server thread started");
  core.SetStatisticsSlots(platform::NowSeconds());
  for (;;) {
    if (stop->Wait(MsToNextBoundary(platform::NowSeconds()))) break;
    OnBoundary(core, platform::NowSeconds());
  }
  Trace(core, "Secondary server thread stopped");
  return 0;
}

bool ReadSharedFile(std::u16string_view path, std::vector<uint8_t>& bytes, std::string& refusal) {
  bytes.clear();
  refusal.clear();
  if (path.empty() || !platform::FileExists(path)) return false;
  // Whoever may write the file decides what the service runs on.
  if (platform::CheckPrivatePath(path, refusal) != 0) return false;
  platform::File file;
  if (file.Open(path, platform::FileAccess::kRead, platform::FileShare::kNone,
                platform::FileCreate::kOpenExisting) != 0) {
    return false;
  }
  uint64_t size = 0;
  if (file.GetSize(size) != 0) return false;
  if (size > kMaxSharedFileBytes) {
    refusal = "it holds " + std::to_string(size) + " bytes, more than " +
              std::to_string(kMaxSharedFileBytes);
    return false;
  }
  try {
    bytes.resize(static_cast<size_t>(size));
  } catch (const std::bad_alloc&) {
    return false;
  }
  uint32_t have = 0;
  while (have < bytes.size()) {
    uint32_t got = 0;
    if (file.Read(bytes.data() + have, static_cast<uint32_t>(bytes.size()) - have, got) != 0 ||
        got == 0) {
      return false;
    }
    have += got;
  }
  return true;
}

void CCVNCore::SetStatisticsSlots(int64_t now) {
  for (size_t h = 0; h < kHistogramCount; ++h) statistics_slots_[h] = SlotOf(now, h);
}

bool CCVNCore::ShiftStatistics(int64_t now) {
  std::array<int64_t, kHistogramCount> delta{};
  for (size_t h = 0; h < kHistogramCount; ++h) {
    const int64_t slot = SlotOf(now, h);
    delta[h] = slot - statistics_slots_[h];
    statistics_slots_[h] = slot;
  }
  bool moved = false;
  {
    platform::LockGuard guard(statistics_lock);
    for (size_t h = 0; h < kHistogramCount; ++h) {
      if (delta[h] <= 0) continue;  // a clock set back moves nothing
      moved = true;
      ShiftHistogram(histograms[h], delta[h]);
    }
  }
  if (moved) {
    int ignored = 0;
    CI_CallMethod(control::kNotifyStatisticsChanged, ignored);
  }
  return moved;
}

bool CCVNCore::IsTimeToCheckSharedFile(int64_t now) {
  const int64_t period = static_cast<int64_t>(settings_.Settings_TrackChangesPeriod.value) * 60;
  if (shared_last_check_ != 0 && now < shared_last_check_ + period) return false;
  shared_last_check_ = now;
  return true;
}

bool CCVNCore::ReadTrustedSharedFile(std::vector<uint8_t>& bytes) {
  const std::u16string& path = settings_.Settings_SharedFilePath.value;
  std::string refusal;
  const bool read = ReadSharedFile(path, bytes, refusal);
  // Told once for each reason, not at every check.
  if (!refusal.empty() && refusal != shared_refusal_) {
    LogFormat('E', "Service", "The shared configuration file %s is not merged: %s.",
              Utf16ToUtf8(path).c_str(), refusal.c_str());
  }
  shared_refusal_ = std::move(refusal);
  return read;
}

std::vector<std::string> CCVNCore::TakeSharedSettings(XmlNode& document) {
  CCVNSettings merged;
  merged.Assign(settings_);
  merged.Load(document, false);
  std::vector<std::string> changed;
  const auto& mine = settings_.Variables();
  const auto& theirs = merged.Variables();
  for (size_t i = 0; i < mine.size(); ++i) {
    // Whether and where the file is shared stays a decision of this machine.
    const std::u16string_view section = mine[i]->section ? mine[i]->section : u"";
    if (section == u"Settings" || mine[i]->IsEqual(*theirs[i])) continue;
    mine[i]->Assign(*theirs[i]);
    changed.push_back(Utf16ToUtf8(section) + "/" + Utf16ToUtf8(mine[i]->name));
  }
  return changed;
}

void CCVNCore::LogSharedChanges(const std::vector<std::string>& changed) {
  std::string list;
  for (size_t i = 0; i < changed.size() && i < kListedSharedChanges; ++i) {
    list += (i == 0 ? "" : ", ") + changed[i];
  }
  if (changed.size() > kListedSharedChanges) {
    list += " and " + std::to_string(changed.size() - kListedSharedChanges) + " more";
  }
  LogFormat('N', "Service", "The shared configuration file changed %u settings%s%s.",
            static_cast<unsigned>(changed.size()), changed.empty() ? "" : ": ", list.c_str());
}

CCVNCore::MergeResult CCVNCore::MergeSharedConfig() {
  std::vector<uint8_t> bytes;
  if (!ReadTrustedSharedFile(bytes)) {
    return shared_refusal_.empty() ? MergeResult::kUnreadable : MergeResult::kRefused;
  }
  const uint32_t crc = Crc32(bytes.data(), bytes.size());
  if (bytes.size() == shared_file_size && crc == shared_file_crc) return MergeResult::kUnchanged;

  // A start, stop or reload in progress: this thread may be the one a stop
  // is about to end, so it neither waits for the lock nor restarts anything.
  std::unique_lock<platform::Lock> guard(start_stop_lock_, std::try_to_lock);
  if (!guard.owns_lock() || !running_ || stopping_) {
    shared_last_check_ = 0;  // the next boundary checks again
    return MergeResult::kDeferred;
  }

  // Taken before parsing, so that a file that does not parse is not tried
  // again until it changes.
  shared_file_size = bytes.size();
  shared_file_crc = crc;
  XmlDocument document(u"Corvane");
  if (document.Parse(bytes.data(), bytes.size()) != 0) return MergeResult::kRejected;

  StopThreads(false);
  std::unique_lock<platform::Lock> settings_guard(settings_lock_);
  const std::vector<std::string> changed = TakeSharedSettings(document);
  // Written to a temporary file and renamed over the settings file, so that
  // a crash leaves the old or the new configuration.
  const std::u16string settings_path = GetSettingsFilePath();
  if (const int32_t error = settings_.SaveFile(settings_path); error != 0) {
    LogFormat('E', "Service",
              "Shared config ignored: Failed to write merged settings to main file: %s",
              Utf16ToUtf8(platform::FormatSystemError(static_cast<uint32_t>(error))).c_str());
    settings_.LoadFile(settings_path, false);
  }
  settings_guard.unlock();
  LogSharedChanges(changed);
  ConfigureLogWriter();
  ++metrics.reloads;
  StartThreads(false);
  // The console is told after the lock is released: a console slow to
  // answer must not hold up a stop.
  guard.unlock();
  if (CI_IsConnected()) {
    int ignored = 0;
    CI_CallMethod(control::kNotifySharedConfigApplied, ignored);
  }
  return MergeResult::kMerged;
}

}  // namespace cvn
