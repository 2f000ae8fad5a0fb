// Diagnostic records as a driver may report them: any return codes, states,
// native codes and texts, and text lengths that need not match the text.
// They are read the way a failed call's diagnostics are read, then judged
// and printed the way the database channel does.
//
// Input, one driver call after the other (little-endian): a return-code
// choice (u8), six state characters (u16 each), the native code (u32), the
// number of text characters the driver writes (u16, at most the buffer), the
// characters (u16 each), the length the driver claims (u16, read as signed).
#include <algorithm>
#include <span>

#include "base/text.h"
#include "db/odbc.h"
#include "fuzz_support.h"

namespace {

using cvn::fuzz::TakeU16;
using cvn::fuzz::TakeU32;
using cvn::fuzz::TakeU8;

// SQL_SUCCESS, SQL_SUCCESS_WITH_INFO, SQL_NO_DATA, SQL_ERROR, SQL_INVALID_HANDLE.
constexpr int16_t kReturnCodes[] = {0, 1, 100, -1, -2};

// One call of the diagnostic-record function, played from the input. It
// writes only within the buffers it is given, as a driver must.
int16_t DriverCall(std::span<const uint8_t>& bytes, char16_t* state, int32_t* native,
                   char16_t* text, int16_t capacity, int16_t* length) {
  if (capacity < 1) __builtin_trap();  // a buffer the driver cannot use
  const int16_t code = kReturnCodes[TakeU8(bytes) % std::size(kReturnCodes)];
  for (int i = 0; i < 6; ++i) state[i] = TakeU16(bytes);
  *native = static_cast<int32_t>(TakeU32(bytes));
  const size_t written = std::min<size_t>(TakeU16(bytes), static_cast<size_t>(capacity));
  for (size_t i = 0; i < written; ++i) text[i] = TakeU16(bytes);
  *length = static_cast<int16_t>(TakeU16(bytes));
  return code;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::span<const uint8_t> bytes(data, size);
  const auto diagnostics = cvn::db::ReadDiagnostics(
      [&](int16_t, char16_t* state, int32_t* native, char16_t* text, int16_t capacity,
          int16_t* length) { return DriverCall(bytes, state, native, text, capacity, length); });
  if (diagnostics.size() > 16) __builtin_trap();
  for (const auto& d : diagnostics) {
    // At most five characters of at most three UTF-8 bytes; texts end at
    // their terminator.
    if (d.sqlstate.size() > 15 || d.text.find(u'\0') != std::u16string::npos) __builtin_trap();
  }
  const cvn::db::OdbcResult result(-1, diagnostics);
  const std::u16string text = result.Text();
  if (text.empty()) __builtin_trap();  // a failure always says something
  (void)cvn::Utf16ToUtf8(text);
  (void)result.SqlState();
  (void)result.ConnectionLost();
  (void)result.Interrupted();
  return 0;
}
