// Setting one key of a configuration file from the command line, so that a
// user never has to edit the UTF-16 XML by hand.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace cvn {

// Sets key ("Section/Key", the section and key names in any letter case) of
// the configuration file at path to value and saves the file. A missing file
// (and its missing folders) is created with every key at its default. Flags
// take 1, 0, true, false, yes, no, on or off; integers a decimal or 0x
// hexadecimal number within the key's declared range; string lists their
// items separated by ",", with blanks around each item dropped. Everything
// else in an existing file, foreign elements included, is kept as it was.
// Returns true on success; otherwise error tells why and the file is
// untouched (an unknown key, a filter list, a value that does not parse or is
// out of range, a file that cannot be read, is malformed or cannot be
// written).
//
// With only_given, a missing file is created with no keys at all, so that a
// file built key by key holds exactly the keys given: a shared file that
// other machines merge changes only those keys there.
bool SetConfigValue(std::u16string_view path, std::u16string_view key, std::u16string_view value,
                    std::u16string& error, bool only_given = false);

// A short reason for a Windows error number of a file operation.
std::u16string FileErrorText(uint32_t error);

}  // namespace cvn
