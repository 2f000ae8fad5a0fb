#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "db/odbc.h"

namespace cvn::db {
namespace {

// A driver that reports one diagnostic record: the given text written into
// the buffer as far as it fits, with the given claimed length.
struct ScriptedDriver {
  std::u16string text;
  int16_t claimed = 0;
  int16_t first_code = 0;
  std::vector<int16_t> capacities;

  std::vector<OdbcDiagnostic> Read() {
    return ReadDiagnostics([this](int16_t record, char16_t* state, int32_t* native,
                                  char16_t* buffer, int16_t capacity, int16_t* length) -> int16_t {
      if (record > 1) return 100;  // SQL_NO_DATA
      capacities.push_back(capacity);
      std::u16string(u"HY000").copy(state, 6);
      *native = 7;
      const size_t n = std::min(text.size(), static_cast<size_t>(std::max<int16_t>(capacity, 0)));
      text.copy(buffer, n);
      *length = claimed;
      return capacities.size() == 1 ? first_code : int16_t{0};
    });
  }
};

TEST(OdbcDiagnosticsTest, TextEndsAtTerminatorWhateverLengthTheDriverClaims) {
  ScriptedDriver negative{std::u16string(u"lost\0", 5), -3, 0, {}};
  ScriptedDriver too_long{std::u16string(u"lost\0", 5), 900, 0, {}};
  for (ScriptedDriver* driver : {&negative, &too_long}) {
    const auto diagnostics = driver->Read();
    ASSERT_EQ(diagnostics.size(), 1u);
    EXPECT_EQ(diagnostics[0].sqlstate, "HY000");
    EXPECT_EQ(diagnostics[0].text, driver->claimed < 0 ? u"" : u"lost");
  }
}

TEST(OdbcDiagnosticsTest, LongTextIsReadAgainIntoABufferTheDriverCanTake) {
  // A text claimed at the largest length: the second buffer holds 32767
  // characters with the terminator, never a size that wraps negative.
  ScriptedDriver driver{std::u16string(40000, u'x'), INT16_MAX, 1, {}};
  const auto diagnostics = driver.Read();
  EXPECT_EQ(driver.capacities, (std::vector<int16_t>{1024, INT16_MAX}));
  ASSERT_EQ(diagnostics.size(), 1u);
  EXPECT_EQ(diagnostics[0].text.size(), static_cast<size_t>(INT16_MAX - 1));
}

// A failure of the call itself says nothing about the statement: the record
// is tried again rather than given up.
TEST(OdbcDiagnosticsTest, LengthAndMemoryFailuresAreFailuresOfTheCall) {
  for (const auto& [state, call_failed] : {std::pair{"HY090", true},
                                           {"HY001", true},
                                           {"HY013", true},
                                           {"42000", false},
                                           {"23505", false},
                                           {"HY000", false}}) {
    const OdbcResult result(-1, {OdbcDiagnostic{"01000", 0, u"note"}, {state, 0, u"why"}});
    EXPECT_EQ(result.CallFailed(), call_failed) << state;
  }
}

}  // namespace
}  // namespace cvn::db
