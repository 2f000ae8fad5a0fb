// The service's engine: one object that owns the configuration, the log
// writer, the worker threads with their events and queues, the registry state
// and the service end of the control channel to the configuration console.
//
// The service runtime drives it: InitCore, StartServer, a wait for the stop
// request, StopServer (from the control handler's thread), ReleaseCore. While
// the server runs, the console's "configuration changed" call stops the worker
// threads, reloads the settings file and starts them again.
//
// Worker threads belong to the subsystems that do their work (event log
// monitor, shared configuration, syslog, e-mail, report). Each subsystem
// registers its thread body with SetThreadBody before the server starts; a
// thread without a registered body is not started.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "config/cvn_settings.h"
#include "control/ctrl_intf_pipe.h"
#include "core/bookmark_store.h"
#include "core/core_metrics.h"
#include "core/delivery_queue.h"
#include "core/event_log_reader.h"
#include "core/popup_sender.h"
#include "diag/log_file.h"
#include "events/event_record.h"
#include "events/message_renderer.h"
#include "platform/event_log.h"
#include "platform/http_responder.h"
#include "platform/registry.h"
#include "platform/sync.h"
#include "platform/thread.h"

namespace cvn {

// The core's worker threads, one stop event each.
enum class CoreThread : int {
  kSecondary = 0,  // statistics, console notification, shared configuration
  kPrimary,        // watches and reads the event logs, dispatches the records
  kEmail,          // the e-mailer
  kSyslog,         // the syslog forwarder
  kReport,         // the report schedule
};
constexpr size_t kCoreThreadCount = 5;

// A first-in first-out queue with its own lock, for hand-over between threads.
template <class T>
class LockedQueue {
 public:
  void Push(T item) {
    platform::LockGuard guard(lock);
    items.push_back(std::move(item));
  }
  void Clear() {
    platform::LockGuard guard(lock);
    items.clear();
  }
  size_t Size() {
    platform::LockGuard guard(lock);
    return items.size();
  }

  // Direct access for the owning channel, always under lock.
  platform::Lock lock;
  std::deque<T> items;
};

// One e-mail waiting for the e-mailer.
struct SEmailMessage {
  std::u16string subject;
  std::u16string body;
  std::string content_type;
  int32_t event_count = 1;
  // The delivery number of the newest record in the message.
  uint64_t seq = 0;
};

// One watched event log: its name, open handle and change notification.
struct EventLogEntry {
  std::u16string name;
  platform::EventLog log;                   // closed when not open
  std::unique_ptr<platform::Event> notify;  // null when not armed
};

// The forwarding channels whose preparation belongs to another subsystem.
// Each keeps its own position in every watched log.
enum class Channel : int { kSyslog = 0, kDb, kEmail };
constexpr size_t kChannelCount = 3;

// What a channel did with a record offered to it.
enum class Offer {
  kTaken,  // queued, merged into a queued message, or filtered out
  kFull,   // no room: the channel's position stays before the record, which
           // is offered again, from that position, once the channel has room
};

// Figures of one channel that the console's status and the metrics read.
struct ChannelFigures {
  // Records of the watched logs after the channel's durable position.
  std::atomic<uint64_t> lag{0};
  // Records the logs overwrote before the channel could read them.
  std::atomic<uint64_t> overwritten{0};
};

// A custom report request of the console: mode 1 means every event log
// registered on the system, all_watched 1 the logs the service watches,
// otherwise the explicit list; the file to write and the period.
struct SCustomReportRequest {
  int32_t mode = 0;
  int32_t all_watched = 0;
  std::vector<std::u16string> logs;
  std::u16string path;
  uint32_t from = 0;
  uint32_t to = 0;
  // Names of the list left out: repeated, or beyond kMaxCustomReportLogs.
  std::vector<std::u16string> ignored;
};
constexpr size_t kMaxCustomReportLogs = 1024;

// States of the custom report.
enum CustomReportState : int32_t {
  kCustomReportNone = 0,
  kCustomReportRequested = 1,
  kCustomReportRunning = 2,
  kCustomReportSaved = 3,
  kCustomReportFailed = 4,
};

class CCVNCore;

// The database channel as the core starts, stops and queries it. The
// database subsystem supplies it; its worker is not one of the core's thread
// slots: it is told to stop before the others and waited for after them.
class DbChannelControl {
 public:
  virtual ~DbChannelControl() = default;
  // Configures the channel from the settings, opens the database and starts
  // the worker: 0, or the first failing result (the channel status).
  virtual int32_t Start(CCVNCore& core) = 0;
  // Tells the worker to stop (it exports what it can for a few seconds).
  virtual void RequestStop() = 0;
  // Waits up to wait_ms for the worker, then closes the database, empties
  // the queue (the channel reads those records again at the next start) and
  // zeroes the counters.
  virtual void FinishStop(CCVNCore& core, uint32_t wait_ms) = 0;
  // Empties the export queue (the console's purge).
  virtual void Purge(CCVNCore& core) = 0;
  // Records waiting in the export queue.
  virtual size_t QueueLength() = 0;
  virtual bool WorkerRunning() = 0;
  // The channel's position in a log as the target database keeps it
  // (DB/PositionTable), read when the channel started: the newest record
  // committed and its TimeGenerated. False when the database holds none.
  virtual bool StoredPosition(std::u16string_view log, uint32_t& record, uint32_t& time) {
    (void)log, (void)record, (void)time;
    return false;
  }
};

class CCVNCore : public control::CSTCtrlIntfPipe {
 public:
  using ThreadBody = std::function<uint32_t(CCVNCore&)>;
  // A channel's work after the filter step: prepare, queue, wake its thread.
  // It never waits: a full queue answers Offer::kFull at once.
  using ChannelHandler = std::function<Offer(CCVNCore&, const SEventRecord&)>;
  // Whether a channel that fell behind has room enough to read on (its
  // queue at most half full), so that it catches up in long runs.
  using ChannelRoom = std::function<bool(CCVNCore&)>;

  static constexpr uint32_t kThreadStopTimeoutMs = 10000;  // all threads together
  static constexpr uint32_t kThreadGraceMs = 100;          // each thread after that
  static constexpr uint32_t kThreadGivenUpExitCode = 0xFFFFFFFEu;
  static constexpr uint32_t kStopServerResult = 0xFFFF;
  static constexpr uint32_t kInitialBufferSize = 65536;
  static constexpr int32_t kChannelDisabled = -1;
  static constexpr size_t kHistogramCount = 7;
  static constexpr size_t kHistogramSize = 360;
  // OnNotify's answer to a configuration change that a start or stop holds off.
  static constexpr int kNotifyRefused = 1;

  // The key of the registry state below HKEY_LOCAL_MACHINE, its subkey and values.
  static constexpr std::u16string_view kRegistryKeyPath = u"Software\\Halvorn\\Corvane\\3.0";
  static constexpr std::u16string_view kStateSubkey = u"Settings";
  static constexpr std::u16string_view kLastReportValue = u"LastReport";
  static constexpr std::u16string_view kReportPeriodFromValue = u"ReportPeriodFrom";
  // 1 from a start to the next stop: found at a start, the run before crashed.
  static constexpr std::u16string_view kRunningValue = u"Running";

  // The process's core, created on first use and destroyed at process exit.
  static CCVNCore& Instance();

  // Touches no thread, file, key or socket. Tests create their own cores.
  CCVNCore();
  // Stops and releases what the owner left running, so that no worker thread
  // outlives the object.
  ~CCVNCore() override;

  // Lifecycle. Results: 0, or (step << 16) | (error & 0xFFFF).
  uint32_t InitCore();
  uint32_t StartServer();
  // Safe at any time, also before InitCore and during StartServer (it waits
  // for the start to finish). Always kStopServerResult.
  uint32_t StopServer();
  // Also stops a server that is still running. Always 0.
  uint32_t ReleaseCore();

  // Start or stop the worker threads; with_secondary includes the secondary
  // server thread. The caller holds the start/stop lock.
  uint32_t StartThreads(bool with_secondary);
  uint32_t StopThreads(bool with_secondary);
  // Stops the threads, reloads the settings file, reconfigures the log writer
  // and starts the threads again. The caller holds the start/stop lock.
  uint32_t OnConfigChanged();

  // Method calls from the console: 0 purge syslog, 1 purge e-mail, 3 the
  // configuration changed, 5 purge the database export queue. 0, or
  // kNotifyRefused for 3 while a start or stop is in progress.
  int OnNotify(int method) override;

  // Registers the body of a worker thread (nullptr removes it). Call before
  // StartServer; the body runs on its own thread with the core as argument and
  // must return soon after ThreadStopEvent(which) is set.
  void SetThreadBody(CoreThread which, ThreadBody body);

  // Registers the preparation of a forwarding channel and its room test
  // (nullptr removes them; without a room test the channel always has room).
  // Call before StartServer; a channel without a handler takes its records
  // and makes nothing of them.
  void SetChannelHandler(Channel which, ChannelHandler handler, ChannelRoom room = {});

  // Registers the database channel (nullptr removes it). Call before
  // StartServer; without one, the channel is reported disabled.
  void SetDbChannel(std::shared_ptr<DbChannelControl> channel);
  DbChannelControl* DbChannel() const { return db_channel_.get(); }

  // The channel switches, read once per range of records.
  struct ChannelSwitches {
    bool syslog = false;
    bool db = false;
    bool email = false;
    bool popup = false;
    bool Any() const { return syslog || db || email || popup; }
    bool On(Channel which) const {
      return which == Channel::kSyslog ? syslog : which == Channel::kDb ? db : email;
    }
  };
  ChannelSwitches ReadChannelSwitches();
  // The channels one record is offered to (by Channel index) and whether it
  // is shown as a pop-up.
  struct DispatchSet {
    std::array<bool, kChannelCount> channels{};
    bool popup = false;
    bool Any() const { return popup || channels[0] || channels[1] || channels[2]; }
  };
  using Offers = std::array<Offer, kChannelCount>;
  // Offers one record to the channels of the set in the fixed order syslog,
  // database, e-mail, pop-up; a refusal by one has no effect on the next.
  // Each channel's answer (kTaken for one outside the set).
  Offers DispatchRecord(const SEventRecord& record, const DispatchSet& set);
  // The dispatch operations: the channel's filter step, then its handler.
  Offer ProcessRecordForSyslog(const SEventRecord& record);
  Offer ProcessRecordForDb(const SEventRecord& record);
  Offer ProcessRecordForEmail(const SEventRecord& record);
  // Whether a channel that fell behind may read on (see ChannelRoom).
  bool ChannelHasRoom(Channel which);
  // Queues the record for a connected console as a pop-up (property 6); the
  // pop-up sender's thread hands it over, so the caller never waits.
  void ProcessRecordForPopups(const SEventRecord& record);
  // Pop-ups dropped because the console did not keep up, since the start.
  uint64_t PopupsDropped() const { return popup_sender_.Dropped(); }
  size_t PopupsWaiting() const { return popup_sender_.Waiting(); }

  // The report subsystem's work for a custom report request; it runs on the
  // control channel's work thread under custom_report_lock and sets
  // custom_report_state. Without one a request ends failed.
  using CustomReportHandler = std::function<void(CCVNCore&, const SCustomReportRequest&)>;
  void SetCustomReportHandler(CustomReportHandler handler) {
    custom_report_handler_ = std::move(handler);
  }
  // Stores the request and runs it at once on the calling thread; a second
  // request waits for the first to end.
  void RunCustomReport(SCustomReportRequest request);
  // Resets the counter a console names by its code; its name for the log,
  // or null for an unknown code.
  const char* ResetCounter(int32_t code);

  // Reports, defined by the report subsystem (report/). GenerateReport reads
  // the logs (all watched ones, filtered, when logs is null) for the period
  // start <= t < end and leaves both outputs unchanged when there is no log.
  // With stop_aware, reading ends early once the threads are told to stop
  // (the caller then discards the document). The summary names the logs of
  // an explicit list that cannot be read, after those in ignored (names the
  // caller left out).
  void GenerateReport(uint32_t start, uint32_t end, const std::vector<std::u16string>* logs,
                      std::u16string& document, std::string& period_text, bool stop_aware = false,
                      const std::vector<std::u16string>& ignored = {});
  // A scheduled report: generate, save, prune, mail, count and log.
  enum class ReportOutcome {
    kDone,      // saved (or nothing to save) and mailed or its mail left for
                // the next start: the period is closed
    kCutShort,  // a stop came before the save: nothing saved or mailed
    kNotSaved,  // the file could not be written; mailed only without may_retry
  };
  // With may_retry, a report that cannot be saved is not mailed either, since
  // its period is to be made again.
  ReportOutcome GenerateReportEx(uint32_t start, uint32_t end, bool may_retry = false);
  // Keeps the newest Report/MaxNumberOfReports report files of folder.
  void DeleteOldReports(const std::u16string& folder);

  // Property queries and assignments from the console.
  int CI_OnGetProperty(uint8_t id, control::CSTCtrlMessage& reply) override;
  int CI_OnSetProperty(uint8_t id, control::CSTCtrlMessage& request) override;
  void CI_OnConsoleStalled(uint32_t timeout_ms) override;
  // Reloads, purges, counter resets and custom reports are for
  // administrators only; status is open to every console that may connect.
  bool CI_MayServe(uint8_t kind, uint8_t id) override;

  // Folders and files below the common application data folder; empty when
  // that folder cannot be found. The three folders end with a separator.
  static std::u16string GetCacheFolder();
  static std::u16string GetEventLogsFolder();
  static std::u16string GetLogsFolder();
  static std::u16string GetSettingsFilePath();

  // The registry state values under kStateSubkey (0 when missing), and writing
  // one (0 or a Windows error number). Need the key that InitCore opens.
  uint32_t ReadStateValue(std::u16string_view name) const;
  uint32_t WriteStateValue(std::u16string_view name, uint32_t value);

  // Writes one line to the service log; message is UTF-8 and written in the
  // ANSI code page.
  void Log(char level, std::string_view category, std::string_view message);
  // The same with a printf-style message (longer lines are cut at 2047 bytes).
  void LogFormat(char level, std::string_view category, const char* format, ...)
      __attribute__((format(printf, 4, 5)));
  // A configured folder the service writes into, created when missing; empty
  // when others could plant or replace files in it, with an "E" line naming
  // the folder, its use ("the cache") and why; as it is when it cannot be
  // made.
  std::u16string PrivateFolder(const std::u16string& folder, const char* use);

  bool IsInitialized() const { return initialized_core_; }
  // Set from the moment StopThreads begins until the threads start again:
  // long loops and waits for room in a queue end early.
  bool StopRequested() const { return stopping_; }
  bool IsRunning() const { return running_; }
  bool StoppedSinceInit() const { return stopped_since_init_; }

  CCVNSettings& Settings() { return settings_; }
  // A copy of the configuration taken while no merge of the shared file and
  // no reload replaces it: for work on a thread that those do not stop (a
  // custom report on the control thread), so that it reads one configuration
  // throughout.
  CCVNSettings SettingsSnapshot();
  CLogFile& LogWriter() { return log_; }
  const std::u16string& EventLogsFolder() const { return event_logs_folder_; }

  // Events of the worker threads; null before InitCore and after ReleaseCore.
  // Wake events exist for the e-mail and syslog threads only.
  platform::Event* ThreadStopEvent(CoreThread which) const;
  platform::Event* ThreadWakeEvent(CoreThread which) const;
  platform::Event* RegistryChangeEvent() const { return registry_change_event_.get(); }
  platform::Event* SyslogPurgeEvent() const { return syslog_purge_event_.get(); }
  platform::Event* TableReadyEvent() const { return table_ready_event_.get(); }

  // Whether a worker thread exists (started and not yet stopped).
  bool ThreadExists(CoreThread which) const;
  // Status of the e-mail, syslog and report threads: 0 started, -1 disabled,
  // else the error of the failed start (the threads store their own codes).
  std::atomic<int32_t>& ThreadStatus(CoreThread which);
  // The status the console sees: kErrorThreadHeldBack while a thread given up
  // at a stop has kept the slot from starting again, else ThreadStatus.
  int32_t ShownThreadStatus(CoreThread which) const;
  // Status of a slot whose last thread did not stop in time (ERROR_TIMEOUT).
  static constexpr int32_t kErrorThreadHeldBack = 1460;
  // Result error of a start or reload whose settings file was rejected
  // (ERROR_BAD_CONFIGURATION).
  static constexpr uint32_t kErrorBadConfiguration = 1610;
  // Status of the database channel: 0 started, -1 disabled, else the start result.
  std::atomic<int32_t> db_status{kChannelDisabled};

  // Last-error texts of the channels, guarded by status_lock.
  platform::Lock status_lock;
  std::u16string syslog_last_error;
  std::u16string email_last_error;
  std::u16string report_last_error;
  std::u16string db_last_error;

  // Hand-over queues of the channels.
  DeliveryQueue syslog_queue;  // finished syslog messages, bounded by Syslog/MaxQueue
  LockedQueue<SEmailMessage> email_queue;
  // Delivery order of the e-mail and database channels: each issues a number
  // per record it takes and acknowledges it once the record's output is
  // durable or given up, so that the bookmarks wait for them too.
  DeliveryProgress email_progress;
  DeliveryProgress db_progress;
  const DeliveryProgress& ChannelProgress(Channel which) const;
  std::atomic<uint32_t> email_counter{0};  // records queued for e-mail

  // Event log table (the monitor fills it, under table_lock) and the names of
  // the logs registered in the current pass.
  static constexpr size_t kMaxWatchedLogs = 62;
  std::array<EventLogEntry, kMaxWatchedLogs> event_log_table;
  size_t event_log_count = 0;
  std::vector<std::u16string> inspected_names;
  // The logs' bookmark files, open for the life of the core, and what the
  // reader knows of each log while the primary thread runs.
  CBookmarkStore bookmarks;
  ReaderState reader;
  // Renders the records' descriptions; used by the primary server thread.
  CMessageRenderer renderer;
  // Times the reading started again after a failed wait.
  std::atomic<uint32_t> reader_restarts{0};

  // Counters of the channels shown to the console (changed atomically).
  std::atomic<int32_t> syslog_sent{0};
  std::atomic<int32_t> syslog_failed{0};
  std::atomic<uint32_t> syslog_cached{0};  // records in the syslog cache file
  // Sets syslog_cached and notes since when the cache file holds records.
  void SetSyslogCached(uint32_t count);
  std::atomic<int32_t> email_sent{0};
  std::atomic<int32_t> email_failed{0};
  std::atomic<int32_t> reports_saved{0};
  std::atomic<int32_t> reports_mailed{0};
  std::atomic<int32_t> report_save_failed{0};
  std::atomic<int32_t> report_mail_failed{0};
  std::atomic<uint64_t> db_exported{0};
  std::atomic<uint64_t> db_failed{0};
  // Lag and overwritten records of each channel (index: Channel).
  std::array<ChannelFigures, kChannelCount> channel_figures;
  // Figures for monitoring, for the life of the process (core_metrics.h).
  CoreMetrics metrics;
  // The port the metrics are served on; 0 when they are not.
  uint16_t MetricsPort() const { return metrics_responder_.Port(); }
  // The statistics period the console selected (index of a histogram).
  std::atomic<int32_t> statistics_period{0};

  // Event statistics.
  platform::Lock table_lock;
  platform::Lock logs_list_lock;
  platform::Lock statistics_lock;
  std::array<std::vector<uint32_t>, kHistogramCount> histograms;
  // Set when the reader counts new records; taken (and cleared) by the
  // secondary server thread, which then tells the console.
  std::atomic<bool> statistics_changed{false};

  // Working buffers; InitCore allocates them at their sizes.
  std::vector<uint8_t> reading_buffer;
  size_t reading_buffer_size = kInitialBufferSize;
  std::vector<uint8_t> statistics_buffer;
  size_t statistics_buffer_size = kInitialBufferSize;

  // Report schedule state (registry values "LastReport", "ReportPeriodFrom").
  std::atomic<uint32_t> last_report{0};
  std::atomic<uint32_t> report_period_from{0};
  std::atomic<uint32_t> next_report_time{0};
  // The custom report: one request at a time under its lock.
  platform::Lock custom_report_lock;
  SCustomReportRequest custom_report_request;
  std::atomic<int32_t> custom_report_state{kCustomReportNone};
  // Seconds since 1970 of the first successful start; 0 before.
  std::atomic<uint32_t> start_time{0};

  // Size and CRC-32 of the shared configuration file last loaded.
  uint64_t shared_file_size = 0;
  uint32_t shared_file_crc = 0;

  // The secondary server thread's work (shared_config.cpp). Seconds are
  // since 1970; the histograms' buckets are 20-second steps times their
  // granularity.
  static constexpr uint32_t kSecondaryPeriodSeconds = 20;
  // Sets every histogram's current slot from now, moving nothing.
  void SetStatisticsSlots(int64_t now);
  // Moves every histogram on to the slot of now: buckets move towards the
  // oldest, the ones that fall out are dropped and the newest are empty; a
  // step of 90 or more empties the histogram. True when one moved, in which
  // case the console was told (method 2).
  bool ShiftStatistics(int64_t now);
  // True when the shared file is due for a check at now (and now is noted as
  // the last check): always the first time, then once per
  // Settings/TrackChangesPeriod minutes.
  bool IsTimeToCheckSharedFile(int64_t now);
  enum class MergeResult {
    kUnreadable,  // missing or unreadable: tried again after the period
    kUnchanged,   // same size and checksum as the content last taken
    kDeferred,    // a start, stop or reload holds the start/stop lock: checked again
                  // on the next boundary
    kRejected,    // not a configuration document: tried again once it changes
    kRefused,     // others may write it, or too large: logged once, checked again
    kMerged,      // merged, written (or logged), threads restarted, console told
  };
  // Reads the shared file and, when its content changed, merges it into the
  // configuration, writes that to the settings file (replaced atomically),
  // restarts the threads other than the secondary one and tells the console
  // (method 4). Never runs during a start, stop or reload: it takes the
  // start/stop lock without waiting, and only while the server runs.
  MergeResult MergeSharedConfig();

  // Tests: other pipe names, and shorter stop deadlines.
  using CSTCtrlIntfPipe::SetPipeNames;
  void SetThreadStopTimeoutsForTesting(uint32_t all_ms, uint32_t grace_ms) {
    stop_timeout_ms_ = all_ms;
    grace_ms_ = grace_ms;
  }
  // The exit code of the last thread of a slot that was stopped.
  uint32_t LastExitCode(CoreThread which) const;

 private:
  struct WorkerSlot {
    const char* name = "";
    ThreadBody body;
    std::unique_ptr<platform::Thread> thread;
    std::unique_ptr<platform::Event> stop_event;
    std::unique_ptr<platform::Event> wake_event;
    std::atomic<int32_t> status{kChannelDisabled};
    uint32_t last_exit_code = platform::kStillActive;
    // A thread that missed its stop deadline and has not been seen to end;
    // no new thread starts in the slot until it has.
    std::unique_ptr<platform::Thread> given_up;
    std::atomic<bool> held_back{false};
  };

  WorkerSlot& Slot(CoreThread which) { return slots_[static_cast<size_t>(which)]; }
  const WorkerSlot& Slot(CoreThread which) const { return slots_[static_cast<size_t>(which)]; }

  // Calls the channel's handler, when one is registered.
  Offer HandToChannel(Channel which, const SEventRecord& record);
  // Creates the slot's thread when a body is registered. 0 (also when there is
  // no body), kErrorThreadHeldBack while the slot's given-up thread still
  // runs, or the C runtime error number of the failed creation.
  uint32_t StartWorker(CoreThread which);
  // Starts a channel thread when its switch is on and sets its status.
  void StartChannel(CoreThread which, bool enabled);
  // Waits up to the grace time more and forgets the thread; one that is still
  // running is given up: logged, kept in the slot's given_up and left to end
  // on its own (stopping a thread from outside is never safe).
  void FinishWorker(CoreThread which);
  // Empties the database export queue.
  void ClearExportQueue();
  // One log line for what a console did to the waiting messages or figures.
  void LogConsoleAction(const std::string& what);

  // Empties the e-mail queue; nobody waits for those records any more.
  void PurgeEmailQueue();

  // Reads the settings file into settings: 0, also when there is no file (the
  // values stay); kErrorBadConfiguration when the file exists but is
  // rejected, which leaves the values as they are and writes an "A" line
  // with the reason, ending with consequence.
  uint32_t LoadSettingsFile(CCVNSettings& settings, const char* consequence);
  bool LoadSharedConfigAtStart();
  // Gives the data folder an access list for the system and the
  // administrators alone, at every start; a failure is logged.
  void CloseDataFolder();
  // The shared file's bytes when it may be trusted; a refusal is logged once
  // for each reason.
  bool ReadTrustedSharedFile(std::vector<uint8_t>& bytes);
  // Takes the document's values into the settings, except those of the
  // Settings section, and names the keys that changed ("Section/Key").
  std::vector<std::string> TakeSharedSettings(XmlNode& document);
  void LogSharedChanges(const std::vector<std::string>& changed);
  void ConfigureLogWriter();
  // Logs that the previous run ended without a stop, naming the newest crash file.
  void LogUncleanEnd();
  // Serves the metrics on General/MetricsAddress: starts, moves or stops the
  // responder when the address changed; a failure is logged.
  void UpdateMetricsResponder();
  uint32_t FailStart(uint32_t result);

  CCVNSettings settings_;
  // Held while settings_ is replaced by a merge or a reload, and while it is
  // copied; taken after the start/stop lock, never before it.
  platform::Lock settings_lock_;
  CLogFile log_;
  // Why the shared file was last refused; empty when it was not.
  std::string shared_refusal_;

  // Serialises start, stop and configuration reload; taken before every other
  // core lock. Exists from construction so that a stop is safe at any time.
  platform::Lock start_stop_lock_;

  std::atomic<bool> initialized_core_{false};
  std::atomic<bool> running_{false};
  std::atomic<bool> stopped_since_init_{false};
  std::atomic<bool> stopping_{false};

  std::array<WorkerSlot, kCoreThreadCount> slots_;
  CPopupSender popup_sender_;
  platform::HttpResponder metrics_responder_;
  std::string metrics_address_;  // the address served on, as configured
  std::array<ChannelHandler, kChannelCount> channel_handlers_;
  std::array<ChannelRoom, kChannelCount> channel_rooms_;
  CustomReportHandler custom_report_handler_;
  std::shared_ptr<DbChannelControl> db_channel_;
  std::unique_ptr<platform::Event> registry_change_event_;
  std::unique_ptr<platform::Event> syslog_purge_event_;
  std::unique_ptr<platform::Event> table_ready_event_;

  platform::RegistryKey registry_key_;
  std::u16string event_logs_folder_;

  // The secondary server thread's state: the histograms' current slots and
  // when the shared file was last checked (0: never).
  std::array<int64_t, kHistogramCount> statistics_slots_{};
  int64_t shared_last_check_ = 0;

  uint32_t stop_timeout_ms_ = kThreadStopTimeoutMs;
  uint32_t grace_ms_ = kThreadGraceMs;
};

}  // namespace cvn
