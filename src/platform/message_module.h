// Message modules and system message texts.
//
// A message module is a file whose message table gives the text of an event
// or error id: a PE image (DLL or EXE) with a message-table resource, or a
// plain message-table file of this project (platform/message_table.h). It is
// loaded as data only; no code of it runs.
//
// Formatting returns the text as FormatMessageW gives it with inserts ignored:
// "%1", "%2", "%%" ... stay in place for the caller, "%n" is CR LF, "%0" ends
// the text, and the line break that ends a compiled message is kept.
//
// On Windows the system calls do the work (LoadLibraryExW as data file,
// FormatMessageW); plain message-table files are read by the portable reader.
// On posix the portable reader reads the file: a PE message DLL copied from a
// Windows machine works as it is. When a PE file has no message table of its
// own, its English resource file "<folder>/en-US/<name>.mui" is tried, which
// is where newer Windows releases keep the texts of their system modules. A
// file that is neither a PE image nor a plain table (an executable of this
// system, such as the service registered as its own message file) is read
// through the plain table next to it, "<file>.msgtable".
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace cvn::platform {

class MessageModule {
 public:
  MessageModule();
  ~MessageModule();
  MessageModule(MessageModule&& other) noexcept;
  MessageModule& operator=(MessageModule&& other) noexcept;
  MessageModule(const MessageModule&) = delete;
  MessageModule& operator=(const MessageModule&) = delete;

  // Loads path as a data file: 0, or 2/3 when it is missing, 5 when it cannot
  // be read, 193 when it is neither a PE image nor a plain message table, 13
  // when a plain message table is malformed.
  uint32_t Load(std::u16string_view path);
  bool IsLoaded() const;
  void Close();

  // The text of message id (language neutral, falling back to the module's
  // other languages): 0 and the text, or 317 when the id is not in the table,
  // 1812/1813/1814/1815 when the module has no message table, 13 when the
  // table is corrupted, 6 when nothing is loaded.
  uint32_t Format(uint32_t id, std::u16string& text) const;

  // What a loaded module holds; defined by each platform.
  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

// Loads path, formats id and frees the module again: the text, or empty on
// any failure (error set to the reason when given).
std::u16string FormatMessageFromFile(std::u16string_view path, uint32_t id,
                                     uint32_t* error = nullptr);

// The system's text for a Windows error number, language neutral, as
// FormatMessageW from the system table gives it (ending in CR LF). With
// ignore_inserts false a text that has inserts ("%1") fails with 87, as the
// call does without arguments. 0 and the text, or 317 when the system has no
// text for the code.
//
// On posix the texts are the English Windows texts of the numbers the service
// can meet (platform/posix/system_messages.cpp lists them): the file, pipe,
// service, event log, RPC and resource errors of the platform layer, the
// Winsock errors (10004-11004) and the TLS errors of the security package.
uint32_t FormatSystemMessage(uint32_t code, bool ignore_inserts, std::u16string& text);

// The system's text for an error number, for logs and the console: empty for
// 0, "<text> (Error code: <n>)" with the text's line breaks at its end
// removed, or "Error code: <n>" when the system has no text. n is the code as
// a signed decimal.
std::u16string FormatSystemError(uint32_t code);

// The publisher metadata API of the newer Windows event log (wevtapi.dll,
// loaded at run time). Absent on posix and on Windows releases without it:
// then Available() is false and every format gives an empty text.
class PublisherMetadata {
 public:
  PublisherMetadata();
  ~PublisherMetadata();
  PublisherMetadata(const PublisherMetadata&) = delete;
  PublisherMetadata& operator=(const PublisherMetadata&) = delete;

  // True when the library and its four functions (EvtOpenPublisherMetadata,
  // EvtGetPublisherMetadataProperty, EvtFormatMessage, EvtClose) were found.
  bool Available() const;

  // Opens the metadata of publisher on the local computer (locale 0x400),
  // formats message_id (EvtFormatMessageId) and closes it again: the text
  // without its terminating NUL, or empty on any failure.
  std::u16string FormatMessageId(std::u16string_view publisher, uint32_t message_id) const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace cvn::platform
