// The event log reader: for one watched log of the core's table it works out
// from the log's oldest record, its count and its bookmark which records are
// new, reads exactly those (newest first), counts them into the statistics,
// builds each record and hands it to the channels, and moves the bookmark to
// the newest record. Everything here runs on the primary server thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace cvn {

class CCVNCore;

// The reading buffers never grow beyond this many bytes.
constexpr uint32_t kMaxReadingBufferSize = 0x7FFFF;
// Raw records as read, each a copy of its Length bytes.
using RawRecords = std::vector<std::vector<uint8_t>>;

// Grows buffer (and its recorded size) to needed bytes; false when out of memory.
bool GrowBuffer(std::vector<uint8_t>& buffer, size_t& size, uint32_t needed);

// The statistics type of a raw event type: 0 error, 1 warning, 2 information, 3 audit.
int StatisticsType(uint16_t event_type);
// Counts one new record into the newest bucket of every histogram.
void CountNewRecord(CCVNCore& core, uint16_t event_type);

// Opens the log named in the table entry and arms its change notification;
// false (logged) when the log cannot be opened.
bool OpenLog(CCVNCore& core, size_t index);
// Closes the entry's notification and log handle.
void CloseLog(CCVNCore& core, size_t index);

// Reads what is new in the log since its bookmark and stores the new
// bookmark. 0, -1 (record count unavailable) or -2 (oldest record unavailable).
int ProcessLog(CCVNCore& core, size_t index, bool skip_old);
// Reads records from..to (inclusive), counts and dispatches them.
void ProcessRange(CCVNCore& core, size_t index, uint32_t from, uint32_t to);
// Appends copies of the records from..to to out, newest first. Nothing is
// read when the range is larger than Logs/MaxNewRecords.
void ReadRange(CCVNCore& core, size_t index, uint32_t from, uint32_t to, RawRecords& out);
// One backwards read into the reading buffer; bytes read, 0 for nothing.
// changed tells that the log was cleared under the open handle.
uint32_t ReadBatch(CCVNCore& core, size_t index, bool& changed);
// TimeGenerated of a record, 0 (logged) when it cannot be read.
uint32_t GetRecordTime(CCVNCore& core, size_t index, uint32_t number);

}  // namespace cvn
