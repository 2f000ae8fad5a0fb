// The classic event log: reading a log backwards or forwards record by
// record, its count and oldest record, change notification, reporting events
// under a source, clearing, and the registry entries that make logs and
// sources exist.
//
// Operations return 0 or a Windows error number, on both platforms. Reads end
// with 38 when no record is left in the reading direction, give 122 and the
// size needed when the next record does not fit the buffer, and 1503 when the
// log was cleared after the handle was opened (close and open it again). A
// damaged log file gives 1500.
//
// A log exists when its key exists below kEventLogKey in HKEY_LOCAL_MACHINE;
// its sources are the subkeys of that key.
//
// posix: each log is one file in the classic .evt layout (a 48-byte header,
// records in a circular area after it, an end-of-file record after the newest
// record). Its path is the log key's "File" value (REG_EXPAND_SZ) when set,
// else %SystemRoot%\System32\config\<log>.evt, that is
// <machine root>/Windows/System32/config/<log>.evt. The log keeps at most
// "MaxSize" bytes (REG_DWORD, default 20 MiB); a full log drops its oldest
// records. Writers in several processes serialise on <file>.lock.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/sync.h"

namespace cvn::platform {

// The registry key (below HKEY_LOCAL_MACHINE) whose subkeys are the logs.
inline constexpr std::u16string_view kEventLogKey =
    u"SYSTEM\\CurrentControlSet\\Services\\EventLog";

// The fixed part of a raw record (the platform's EVENTLOGRECORD). After it
// come the NUL-terminated UTF-16 source and computer names, the user SID at
// UserSidOffset, NumStrings NUL-terminated UTF-16 insertion strings at
// StringOffset, DataLength bytes of data at DataOffset, padding to a multiple
// of 4, and a copy of Length in the last 4 bytes. All numbers little-endian.
struct EventLogRecordHeader {
  uint32_t Length;
  uint32_t Reserved;  // kEventLogSignature
  uint32_t RecordNumber;
  uint32_t TimeGenerated;  // seconds since 1970-01-01 00:00:00 UTC
  uint32_t TimeWritten;
  uint32_t EventID;
  uint16_t EventType;
  uint16_t NumStrings;
  uint16_t EventCategory;
  uint16_t ReservedFlags;
  uint32_t ClosingRecordNumber;
  uint32_t StringOffset;
  uint32_t UserSidLength;
  uint32_t UserSidOffset;
  uint32_t DataLength;
  uint32_t DataOffset;
};
static_assert(sizeof(EventLogRecordHeader) == 56);

inline constexpr uint32_t kEventLogRecordFixedSize = 56;
inline constexpr uint32_t kEventLogSignature = 0x654C664C;  // "LfLe"

// Event types.
inline constexpr uint16_t kEventTypeSuccess = 0x0000;
inline constexpr uint16_t kEventTypeError = 0x0001;
inline constexpr uint16_t kEventTypeWarning = 0x0002;
inline constexpr uint16_t kEventTypeInformation = 0x0004;
inline constexpr uint16_t kEventTypeAuditSuccess = 0x0008;
inline constexpr uint16_t kEventTypeAuditFailure = 0x0010;

// Read flags: one of sequential or seek, and one direction.
inline constexpr uint32_t kEventLogSequentialRead = 0x1;
inline constexpr uint32_t kEventLogSeekRead = 0x2;
inline constexpr uint32_t kEventLogForwardsRead = 0x4;
inline constexpr uint32_t kEventLogBackwardsRead = 0x8;

// Errors particular to event logs.
inline constexpr uint32_t kEventLogFileCorrupt = 1500;
inline constexpr uint32_t kEventLogFileChanged = 1503;

// A log opened for reading (OpenEventLogW on the local computer).
class EventLog {
 public:
  EventLog();
  ~EventLog();
  EventLog(EventLog&& other) noexcept;
  EventLog& operator=(EventLog&& other) noexcept;
  EventLog(const EventLog&) = delete;
  EventLog& operator=(const EventLog&) = delete;

  // Opens a log by name (2 when no such log exists on posix). The first
  // sequential read starts at the newest record (backwards) or the oldest
  // (forwards).
  uint32_t Open(std::u16string_view log_name);
  // Opens a saved log file (OpenBackupEventLogW): a file exported from a
  // machine, read like a log.
  uint32_t OpenFile(std::u16string_view path);
  bool IsOpen() const;
  void Close();

  uint32_t GetCount(uint32_t& count) const;
  // 0 when the log is empty.
  uint32_t GetOldest(uint32_t& oldest) const;

  // Reads whole records into buffer. flags: kEventLogSequentialRead or
  // kEventLogSeekRead (from record_number) with one direction. Sequential
  // reads continue where the previous read on this handle stopped.
  // On 122, needed is the size of the next record.
  uint32_t Read(uint32_t flags, uint32_t record_number, void* buffer, uint32_t size,
                uint32_t& bytes_read, uint32_t& needed);

  // Sets event (auto-reset) whenever records are written to the log, by any
  // process, until the handle is closed.
  uint32_t NotifyChange(const Event& event);

  // Empties the log; numbering restarts at 1. With a backup path the old
  // content is saved there first.
  uint32_t Clear(std::u16string_view backup_path = {});

  struct Impl;  // defined per platform

 private:
  std::unique_ptr<Impl> impl_;
};

// An event source opened for reporting (RegisterEventSourceW on the local
// computer). A source that is registered under no log writes to Application.
class EventSource {
 public:
  EventSource();
  ~EventSource();
  EventSource(EventSource&& other) noexcept;
  EventSource& operator=(EventSource&& other) noexcept;
  EventSource(const EventSource&) = delete;
  EventSource& operator=(const EventSource&) = delete;

  uint32_t Register(std::u16string_view source_name);
  bool IsRegistered() const;
  void Deregister();

  // Writes one record (ReportEventW): user_sid is a binary SID or empty.
  uint32_t Report(uint16_t type, uint16_t category, uint32_t event_id,
                  std::span<const uint8_t> user_sid, std::span<const std::u16string> strings,
                  std::span<const uint8_t> data);

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

// What a source registers (values of its key below its log's key). Empty
// texts and a zero count are not written.
struct EventSourceRegistration {
  std::u16string event_message_file;      // EventMessageFile, REG_EXPAND_SZ
  std::u16string parameter_message_file;  // ParameterMessageFile, REG_EXPAND_SZ
  std::u16string category_message_file;   // CategoryMessageFile, REG_EXPAND_SZ
  uint32_t category_count = 0;            // CategoryCount, REG_DWORD
  uint32_t types_supported = 7;           // TypesSupported, REG_DWORD
  std::u16string provider_guid;           // ProviderGuid, REG_SZ
};

// Creates the log's key (and a source of the same name); max_size (bytes,
// MaxSize) only when not 0. Opening an existing log is not an error.
uint32_t CreateEventLog(std::u16string_view log_name, uint32_t max_size = 0);
// Removes the log's key with its sources; posix also removes its file unless
// the key's File value named it.
uint32_t DeleteEventLog(std::u16string_view log_name);
// Creates or updates a source below an existing log (2 when the log is missing).
uint32_t AddEventSource(std::u16string_view log_name, std::u16string_view source_name,
                        const EventSourceRegistration& registration);
// The names of the logs, in registry enumeration order.
uint32_t ListEventLogs(std::vector<std::u16string>& names);
// Opens and clears a log by name.
uint32_t ClearEventLog(std::u16string_view log_name, std::u16string_view backup_path = {});

}  // namespace cvn::platform
