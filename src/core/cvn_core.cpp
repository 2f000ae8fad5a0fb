#include "core/cvn_core.h"

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <new>

#include "base/result.h"
#include "base/text.h"
#include "control/ctrl_protocol.h"
#include "core/event_log_monitor.h"
#include "core/shared_config.h"
#include "diag/crash_handler.h"
#include "platform/clock.h"
#include "platform/codepage.h"
#include "platform/file.h"

namespace cvn {

using platform::Event;

namespace {

// Windows error numbers used for failures that have no system error.
constexpr uint32_t kErrorNotEnoughMemory = 8;  // an event could not be created
constexpr uint32_t kErrorNotReady = 21;        // StartServer before InitCore

// The C runtime's error number for a thread that could not be created.
constexpr uint32_t kThreadCreateError = EAGAIN;

std::unique_ptr<Event> NewEvent(Event::Mode mode) { return std::make_unique<Event>(mode, false); }

}  // namespace

CCVNCore& CCVNCore::Instance() {
  // Created on first use rather than during static initialisation, so that it
  // never depends on the construction order of other translation units'
  // statics; the first use is the service main function (or a control handler
  // racing it, which the language makes safe).
  static CCVNCore core;
  return core;
}

CCVNCore::CCVNCore()
    : popup_sender_(
          [this](const control::CSTCtrlMessage& values) {
            const bool shown = CI_SetProperty(control::kPropPopup, values) == 0;
            metrics.Of(MetricChannel::kPopup).Attempted(1, shown ? 1 : 0);
          },
          [this](uint64_t dropped) {
            LogFormat('E', "Service",
                      "Pop-ups are dropped: the console does not take them as fast as they "
                      "come (%llu dropped since the start).",
                      static_cast<unsigned long long>(dropped));
          }) {
  static constexpr const char* kNames[kCoreThreadCount] = {"secondary server", "primary server",
                                                           "e-mail", "syslog", "report"};
  for (size_t i = 0; i < kCoreThreadCount; ++i) slots_[i].name = kNames[i];
  for (auto& h : histograms) h.assign(kHistogramSize, 0);
  slots_[static_cast<size_t>(CoreThread::kPrimary)].body = PrimaryServerThread;
  slots_[static_cast<size_t>(CoreThread::kSecondary)].body = SecondaryServerThread;
}

CCVNCore::~CCVNCore() {
  if (running_ || initialized_core_) ReleaseCore();
}

// ---------------------------------------------------------------------------
// Lifecycle

uint32_t CCVNCore::InitCore() {
  platform::LockGuard guard(start_stop_lock_);
  if (initialized_core_) return 0;

  // Step 2 starts the sockets: the platform layer does that itself on first
  // use, so there is nothing to do here. The locks exist since construction.
  uint32_t step = 4;
  uint32_t error = 0;
  initialized_core_ = true;

  for (CoreThread which : {CoreThread::kPrimary, CoreThread::kEmail, CoreThread::kSyslog,
                           CoreThread::kReport, CoreThread::kSecondary}) {
    Slot(which).stop_event = NewEvent(Event::Mode::kAutoReset);
  }
  registry_change_event_ = NewEvent(Event::Mode::kAutoReset);
  Slot(CoreThread::kEmail).wake_event = NewEvent(Event::Mode::kAutoReset);
  Slot(CoreThread::kSyslog).wake_event = NewEvent(Event::Mode::kAutoReset);
  syslog_purge_event_ = NewEvent(Event::Mode::kAutoReset);
  table_ready_event_ = NewEvent(Event::Mode::kManualReset);

  bool events_ok = registry_change_event_->IsValid() && syslog_purge_event_->IsValid() &&
                   table_ready_event_->IsValid();
  for (const auto& slot : slots_) {
    if (!slot.stop_event->IsValid() || (slot.wake_event && !slot.wake_event->IsValid())) {
      events_ok = false;
    }
  }
  if (!events_ok) error = kErrorNotEnoughMemory;

  if (error == 0) {
    step = 6;
    error = registry_key_.Create(platform::RegistryRoot::kLocalMachine, kRegistryKeyPath);
  }
  if (error == 0) {
    last_report = ReadStateValue(kLastReportValue);
    report_period_from = ReadStateValue(kReportPeriodFromValue);
    step = 8;
    error = static_cast<uint32_t>(CI_Initialize());
  }
  if (error == 0) {
    step = 10;
    try {
      reading_buffer.assign(reading_buffer_size, 0);
      statistics_buffer.assign(statistics_buffer_size, 0);
    } catch (const std::bad_alloc&) {
      error = ENOMEM;
    }
  }
  if (error == 0) return 0;

  ReleaseCore();
  return MakeResult(step, error);
}

uint32_t CCVNCore::StartServer() {
  platform::LockGuard guard(start_stop_lock_);
  if (running_) return 0;
  if (!initialized_core_) return FailStart(MakeResult(0, kErrorNotReady));
  CloseDataFolder();

  // A missing settings file leaves the values as they are (the defaults on a
  // first start); one that is there but rejected stops the start, since the
  // defaults forward nothing while the bookmarks would move on.
  if (LoadSettingsFile(settings_, "the service does not start") != 0) {
    return FailStart(kErrorBadConfiguration);
  }
  const bool shared_loaded = LoadSharedConfigAtStart();
  ConfigureLogWriter();

  event_logs_folder_ = GetEventLogsFolder();
  if (!event_logs_folder_.empty()) platform::CreateFolderTree(event_logs_folder_);

  if (TraceLogEnabled) Log('N', "Trace", "Server settings were loaded from file");
  if (shared_loaded) Log('N', "Service", "Shared configuration file was loaded");

  if (!popup_sender_.Start()) Log('A', "Service", "The pop-up sender could not be started.");
  if (const uint32_t result = StartThreads(true); result != 0) return FailStart(result);
  if (const int result = CI_Activate(); result != 0) {
    return FailStart(static_cast<uint32_t>(result));
  }

  if (start_time == 0) start_time = static_cast<uint32_t>(platform::NowSeconds());
  running_ = true;
  if (CI_Connect() == 0 && shared_loaded) {
    // Tell the console that the shared configuration was applied.
    int console_result = 0;
    CI_CallMethod(control::kNotifySharedConfigApplied, console_result);
  }
  Log('N', "Service", "Corvane service started.");
  // The mark is cleared by a stop: found set, the previous run ended without one.
  if (!stopped_since_init_ && ReadStateValue(kRunningValue) != 0) LogUncleanEnd();
  WriteStateValue(kRunningValue, 1);
  return 0;
}

uint32_t CCVNCore::FailStart(uint32_t result) {
  LogFormat('A', "Service", "Failed to start server: step=%d, error=%d", 2,
            static_cast<int32_t>(result));
  StopServer();
  return MakeResult(2, result);
}

uint32_t CCVNCore::StopServer() {
  platform::LockGuard guard(start_stop_lock_);
  // Set before the control thread is stopped: a custom report it is making
  // ends its reading, so that the thread ends within its deadline.
  stopping_ = true;
  CI_Disconnect();
  CI_Deactivate();
  StopThreads(true);
  // The disconnect above has released a pop-up in the middle of its exchange.
  popup_sender_.Stop(kStopTimeoutMs);
  metrics_responder_.Stop();
  metrics_address_.clear();
  if (running_) {
    running_ = false;
    stopped_since_init_ = true;
    WriteStateValue(kRunningValue, 0);
  }
  Log('N', "Service", "Corvane service stopped.");
  return kStopServerResult;
}

uint32_t CCVNCore::ReleaseCore() {
  platform::LockGuard guard(start_stop_lock_);
  // Releasing under running threads would pull their events away; this
  // happens when the stop request came before the start had begun.
  bool any_thread = false;
  for (const auto& slot : slots_) any_thread = any_thread || slot.thread != nullptr;
  if (running_ || any_thread) StopServer();

  reading_buffer.clear();
  reading_buffer.shrink_to_fit();
  statistics_buffer.clear();
  statistics_buffer.shrink_to_fit();
  statistics_buffer_size = kInitialBufferSize;

  CI_Cleanup();
  registry_key_.Close();

  for (auto& slot : slots_) {
    if (slot.given_up && !slot.given_up->Join(grace_ms_)) {
      // A thread still running may yet wait on its events: they stay
      // allocated, and the thread is left to end on its own.
      (void)slot.stop_event.release();
      (void)slot.wake_event.release();
      (void)slot.given_up.release();
      LogFormat('A', "Service", "The %s thread given up earlier is still running at release.",
                slot.name);
    }
    slot.given_up.reset();
    slot.held_back = false;
    slot.stop_event.reset();
    slot.wake_event.reset();
  }
  registry_change_event_.reset();
  syslog_purge_event_.reset();
  table_ready_event_.reset();

  initialized_core_ = false;
  stopped_since_init_ = false;
  return 0;
}

// ---------------------------------------------------------------------------
// Worker threads

void CCVNCore::SetThreadBody(CoreThread which, ThreadBody body) {
  platform::LockGuard guard(start_stop_lock_);
  Slot(which).body = std::move(body);
}

uint32_t CCVNCore::StartWorker(CoreThread which) {
  WorkerSlot& slot = Slot(which);
  if (!slot.body || slot.thread) return 0;
  if (!slot.stop_event) return kThreadCreateError;
  // Two threads of one slot would share its queue, its files and its events:
  // a thread given up at a stop must have ended before another one starts.
  if (slot.given_up) {
    if (!slot.given_up->Join(0)) {
      LogFormat('A', "Service",
                "The %s thread was not started: the one given up at the last stop is still "
                "running.",
                slot.name);
      return static_cast<uint32_t>(kErrorThreadHeldBack);
    }
    slot.given_up.reset();
    LogFormat('N', "Service", "The %s thread given up at an earlier stop has ended.", slot.name);
  }
  slot.held_back = false;
  // A thread that ended on its own before the last stop left its stop event
  // set; the new thread must not take that for its own stop request.
  slot.stop_event->Reset();
  auto thread = std::make_unique<platform::Thread>();
  ThreadBody body = slot.body;
  if (!thread->Start([this, body] { return body(*this); })) return kThreadCreateError;
  slot.thread = std::move(thread);
  return 0;
}

void CCVNCore::StartChannel(CoreThread which, bool enabled) {
  WorkerSlot& slot = Slot(which);
  // A channel whose subsystem has registered no thread is reported disabled,
  // not started.
  if (!enabled || !slot.body) {
    slot.status = kChannelDisabled;
    return;
  }
  slot.status = 0;
  if (const uint32_t error = StartWorker(which); error != 0) {
    slot.status = static_cast<int32_t>(error);
  }
}

uint32_t CCVNCore::StartThreads(bool with_secondary) {
  stopping_ = false;
  syslog_queue.SetCapacity(static_cast<size_t>(std::max(0, settings_.Syslog_MaxQueue.value)));
  // A server thread held back by its given-up predecessor does not keep the
  // others from starting (the channels drain their queues); the result still
  // reports it, and the next start tries it again.
  constexpr uint32_t kHeldBack = static_cast<uint32_t>(kErrorThreadHeldBack);
  uint32_t held_back = 0;
  // Secondary server thread: statistics, console notification and the shared
  // configuration file's change tracking.
  if (with_secondary) {
    if (const uint32_t error = StartWorker(CoreThread::kSecondary); error == kHeldBack) {
      held_back = MakeResult(0, error);
    } else if (error != 0) {
      return MakeResult(0, error);
    }
  }
  // The channels first: the reader asks the database channel for the
  // positions its target database keeps.
  StartChannel(CoreThread::kEmail, settings_.Email_Forward.value);
  StartChannel(CoreThread::kSyslog, settings_.Syslog_Forward.value);

  // Database channel: the exporter and its worker, configured from DB/...
  db_status = kChannelDisabled;
  if (settings_.DB_Forward.value && db_channel_) db_status = db_channel_->Start(*this);

  // Primary server thread: the event log monitor.
  if (const uint32_t error = StartWorker(CoreThread::kPrimary); error == kHeldBack) {
    if (held_back == 0) held_back = MakeResult(8, error);
  } else if (error != 0) {
    return MakeResult(8, error);
  }

  if (settings_.Report_GeneratePeriodically.value) {
    StartChannel(CoreThread::kReport, true);
  } else {
    // Scheduling starts a fresh period when it is turned on again later.
    report_period_from = 0;
    next_report_time = 0;
    Slot(CoreThread::kReport).status = kChannelDisabled;
    WriteStateValue(kReportPeriodFromValue, 0);
  }
  metrics.Of(MetricChannel::kSyslog).enabled = settings_.Syslog_Forward.value;
  metrics.Of(MetricChannel::kEmail).enabled = settings_.Email_Forward.value;
  metrics.Of(MetricChannel::kDb).enabled = settings_.DB_Forward.value && db_channel_ != nullptr;
  metrics.Of(MetricChannel::kPopup).enabled = settings_.Popup_Show.value;
  UpdateMetricsResponder();
  // A channel thread that cannot be created shows in its status only.
  return held_back;
}

void CCVNCore::UpdateMetricsResponder() {
  const std::string address = Utf16ToUtf8(settings_.General_MetricsAddress.value);
  if (address == metrics_address_ && (address.empty() || metrics_responder_.Running())) return;
  metrics_responder_.Stop();
  metrics_address_ = address;
  if (address.empty()) return;
  platform::HttpResponder::Page page{"/metrics", std::string(kMetricsContentType), [this] {
                                       return RenderMetrics(*this, platform::NowSeconds());
                                     }};
  if (const uint32_t error = metrics_responder_.Start(address, std::move(page)); error != 0) {
    LogFormat('E', "Service",
              "The metrics cannot be served on %s (General/MetricsAddress): error %u.",
              address.c_str(), error);
    return;
  }
  LogFormat('N', "Service", "The metrics are served on %s (port %u) at /metrics.", address.c_str(),
            static_cast<unsigned>(metrics_responder_.Port()));
}

void CCVNCore::LogUncleanEnd() {
  const std::u16string folder = CrashDumpsFolder();
  std::u16string newest;
  int64_t newest_time = 0;
  for (const std::u16string& name : platform::FindFiles(folder, u"CVNSvc-*")) {
    int64_t t = 0;
    if (platform::FileWriteTime(folder + name, t) && (newest.empty() || t > newest_time)) {
      newest = name;
      newest_time = t;
    }
  }
  if (newest.empty()) {
    Log('E', "Service",
        "The previous run of the service ended without a stop (killed, or the machine went "
        "down); it left no crash file.");
    return;
  }
  LogFormat('E', "Service",
            "The previous run of the service ended without a stop; the newest crash file is %s.",
            Utf16ToUtf8(folder + newest).c_str());
}

void CCVNCore::SetSyslogCached(uint32_t count) {
  std::atomic<int64_t>& since = metrics.Of(MetricChannel::kSyslog).cached_since;
  if (count == 0) {
    since = 0;
  } else if (since == 0) {
    since = platform::NowSeconds();
  }
  syslog_cached = count;
}

void CCVNCore::FinishWorker(CoreThread which) {
  WorkerSlot& slot = Slot(which);
  if (!slot.thread) return;
  if (slot.thread->Join(grace_ms_)) {
    slot.last_exit_code = slot.thread->ExitCode();
    slot.thread.reset();
    return;
  }
  LogFormat('A', "Service",
            "The %s thread did not stop in time and was given up (exit code 0x%08X).", slot.name,
            kThreadGivenUpExitCode);
  slot.last_exit_code = kThreadGivenUpExitCode;
  slot.given_up = std::move(slot.thread);
  slot.held_back = true;
  if (slot.status != kChannelDisabled) slot.status = kErrorThreadHeldBack;
}

uint32_t CCVNCore::StopThreads(bool with_secondary) {
  // Ends the reader's waits for room in a full queue and its long reads.
  stopping_ = true;
  // The database worker is told to stop first: it exports what it can while
  // the other threads stop.
  const platform::Deadline deadline(stop_timeout_ms_);
  if (db_channel_) db_channel_->RequestStop();

  // Signal every existing thread, then wait for all of them together.
  std::vector<platform::Thread*> collected;
  for (CoreThread which : {CoreThread::kEmail, CoreThread::kSyslog, CoreThread::kReport,
                           CoreThread::kSecondary, CoreThread::kPrimary}) {
    if (which == CoreThread::kSecondary && !with_secondary) continue;
    WorkerSlot& slot = Slot(which);
    if (!slot.thread) {
      // A given-up thread is asked again, but not waited for.
      if (slot.given_up && slot.stop_event) slot.stop_event->Set();
      continue;
    }
    if (slot.stop_event) slot.stop_event->Set();
    collected.push_back(slot.thread.get());
  }
  if (!collected.empty()) {
    for (platform::Thread* thread : collected) {
      if (Event* finished = thread->Finished()) finished->Wait(deadline.Remaining());
    }
  }

  if (with_secondary) FinishWorker(CoreThread::kSecondary);
  FinishWorker(CoreThread::kSyslog);
  FinishWorker(CoreThread::kReport);
  FinishWorker(CoreThread::kEmail);

  // The database worker has what is left of the shared wait; then its
  // exporter is disconnected and its queue and counters are reset.
  if (db_channel_) db_channel_->FinishStop(*this, deadline.Remaining() + grace_ms_);

  FinishWorker(CoreThread::kPrimary);
  // What the channels made durable while the reader stopped is stored too,
  // so that the next start reads none of it again for them.
  if (!Slot(CoreThread::kPrimary).given_up) AdvanceBookmarks(*this, true);
  // Messages not yet durable are dropped: the positions have not moved past
  // their records, which the next start reads again from the event logs.
  syslog_queue.Purge();
  PurgeEmailQueue();
  db_progress.AcknowledgeAll();
  return 0;
}

uint32_t CCVNCore::OnConfigChanged() {
  // A rejected file changes nothing: the threads run on with the
  // configuration in force.
  CCVNSettings loaded(settings_);
  if (LoadSettingsFile(loaded, "the configuration in force is kept") != 0) {
    return MakeResult(0, kErrorBadConfiguration);
  }
  StopThreads(true);
  // The shared configuration file is not read here: its own thread merges it
  // while the server runs.
  {
    platform::LockGuard settings_guard(settings_lock_);
    settings_ = loaded;
  }
  ConfigureLogWriter();
  ++metrics.reloads;
  return StartThreads(true);
}

uint32_t CCVNCore::LoadSettingsFile(CCVNSettings& settings, const char* consequence) {
  const std::u16string path = GetSettingsFilePath();
  std::string reason;
  const int32_t result = settings.LoadFile(path, false, &reason);
  if (result == 0 || !platform::FileExists(path)) return 0;
  if (reason.empty()) reason = "it cannot be read (error " + std::to_string(result) + ")";
  LogFormat('A', "Service",
            "The settings file %s was rejected: %s; %s. \"cvncfg dump\" with the file's path "
            "tells what is wrong with it.",
            Utf16ToUtf8(path).c_str(), reason.c_str(), consequence);
  return kErrorBadConfiguration;
}

void CCVNCore::ClearExportQueue() {
  if (db_channel_) db_channel_->Purge(*this);
}

void CCVNCore::SetDbChannel(std::shared_ptr<DbChannelControl> channel) {
  platform::LockGuard guard(start_stop_lock_);
  db_channel_ = std::move(channel);
}

void CCVNCore::PurgeEmailQueue() {
  // Under the queue lock, so that no number is issued between the two.
  platform::LockGuard guard(email_queue.lock);
  email_queue.items.clear();
  email_progress.AcknowledgeAll();
}

void CCVNCore::LogConsoleAction(const std::string& what) {
  LogFormat('N', "Service", "%s (console user %s).", what.c_str(), CI_ClientUser().c_str());
}

void CCVNCore::CI_OnConsoleStalled(uint32_t timeout_ms) {
  LogFormat('N', "Service",
            "A console (user %s) did not take its reply within %u s and was disconnected.",
            CI_ClientUser().c_str(), static_cast<unsigned>(timeout_ms / 1000));
}

bool CCVNCore::CI_MayServe(uint8_t kind, uint8_t id) {
  const bool changes_state =
      kind == control::kKindMethodCall ||
      (kind == control::kKindPropertySet &&
       (id == control::kPropResetCounter || id == control::kPropCustomReport));
  if (!changes_state || CI_ClientIsAdministrator()) return true;
  LogFormat('E', "Service",
            "The console user %s may not change what the service does (request %u/%u refused): "
            "that needs an administrator.",
            CI_ClientUser().c_str(), static_cast<unsigned>(kind), static_cast<unsigned>(id));
  if (kind == control::kKindPropertySet && id == control::kPropCustomReport) {
    custom_report_state = kCustomReportFailed;
  }
  return false;
}

int CCVNCore::OnNotify(int method) {
  auto purged = [this](const char* channel, size_t count) {
    LogConsoleAction(std::string("The ") + channel +
                     " messages waiting were purged: " + std::to_string(count) + " dropped");
  };
  switch (method) {
    case 0: {
      const size_t count = syslog_queue.Size() + static_cast<size_t>(syslog_cached.load());
      purged("syslog", count);
      metrics.Of(MetricChannel::kSyslog).dropped += count;
      if (syslog_purge_event_) syslog_purge_event_->Set();
      syslog_queue.Purge();
      return 0;
    }
    case 1: {
      // The metrics count records; a consolidated message holds several.
      uint64_t records = 0;
      {
        platform::LockGuard guard(email_queue.lock);
        for (const SEmailMessage& message : email_queue.items) records += message.event_count;
      }
      purged("e-mail", email_queue.Size());
      metrics.Of(MetricChannel::kEmail).dropped += records;
      PurgeEmailQueue();
      return 0;
    }
    case 3: {
      std::unique_lock<platform::Lock> guard(start_stop_lock_, std::try_to_lock);
      if (!guard.owns_lock()) return kNotifyRefused;
      if (running_) {
        LogFormat('N', "Service",
                  "The configuration is reloaded at the request of a console (user %s).",
                  CI_ClientUser().c_str());
        OnConfigChanged();
      }
      return 0;
    }
    case 5: {
      const size_t count = db_channel_ ? db_channel_->QueueLength() : 0;
      purged("database", count);
      metrics.Of(MetricChannel::kDb).dropped += count;
      ClearExportQueue();
      return 0;
    }
    default: return 0;
  }
}

// ---------------------------------------------------------------------------
// Accessors and logging

CCVNSettings CCVNCore::SettingsSnapshot() {
  platform::LockGuard guard(settings_lock_);
  return settings_;
}

Event* CCVNCore::ThreadStopEvent(CoreThread which) const { return Slot(which).stop_event.get(); }

Event* CCVNCore::ThreadWakeEvent(CoreThread which) const { return Slot(which).wake_event.get(); }

bool CCVNCore::ThreadExists(CoreThread which) const { return Slot(which).thread != nullptr; }

std::atomic<int32_t>& CCVNCore::ThreadStatus(CoreThread which) { return Slot(which).status; }

int32_t CCVNCore::ShownThreadStatus(CoreThread which) const {
  // A given-up thread that ends writes its own status; the slot is still idle.
  const WorkerSlot& slot = Slot(which);
  if (slot.held_back && slot.status != kChannelDisabled) return kErrorThreadHeldBack;
  return slot.status;
}

uint32_t CCVNCore::LastExitCode(CoreThread which) const { return Slot(which).last_exit_code; }

void CCVNCore::Log(char level, std::string_view category, std::string_view message) {
  // Lines written before the first start (a stop before the start, a start
  // before the initialisation) go to the default Logs folder rather than the
  // process's current directory.
  if (!running_) log_.SetFolderIfUnset(GetLogsFolder());
  log_.Write(level, category, platform::ToAnsi(Utf8ToUtf16(message)));
}

void CCVNCore::LogFormat(char level, std::string_view category, const char* format, ...) {
  char line[2048];
  va_list args;
  va_start(args, format);
  const int n = std::vsnprintf(line, sizeof line, format, args);
  va_end(args);
  if (n < 0) return;
  Log(level, category, std::string_view(line, std::min<size_t>(n, sizeof line - 1)));
}

std::u16string CCVNCore::PrivateFolder(const std::u16string& folder, const char* use) {
  platform::CreateFolderTree(folder);
  std::string reason;
  // A folder that cannot be made fails where it is used, with its own line.
  if (platform::CheckPrivatePath(folder, reason) == 0 || reason.empty()) return folder;
  LogFormat('E', "Service", "The folder %s is not used for %s: %s.", Utf16ToUtf8(folder).c_str(),
            use, reason.c_str());
  return {};
}

void CCVNCore::ConfigureLogWriter() {
  // Other threads (the control channel's among them) may be writing lines
  // during a reload: the writer takes both values under its lock.
  std::u16string folder = settings_.General_LogFolder.value;
  if (!folder.empty()) folder = PrivateFolder(folder, "the log files, the default one is");
  log_.Configure(folder.empty() ? GetLogsFolder() : folder,
                 static_cast<uint32_t>(settings_.General_KeepLogs.value));
  TraceLogEnabled = settings_.General_TraceLog.value;
}

}  // namespace cvn
