// Key values as settool takes them from the command line and shows them.
#ifndef ORVO_TOOLS_SETTOOL_VALUE_TEXT_H_
#define ORVO_TOOLS_SETTOOL_VALUE_TEXT_H_

#include <cstddef>
#include <cstdint>
#include <string>

namespace orvo::settool {

// "none", "binary", "string" or "wstring" for the type codes 0-3.
const char* ValueTypeName(int type);

// The bytes of a UTF-16 string value: each unit little-endian, then a 2-byte
// NUL.
std::string WStringValueBytes(const std::u16string& text);

// The bytes of an 8-bit string value: |text| as UTF-8, then a NUL.
std::string StringValueBytes(const std::u16string& text);

// A 32-bit integer, decimal (optionally signed) or hexadecimal with 0x, from
// -2147483648 to 4294967295, as 4 bytes little-endian. False for anything
// else.
bool ParseIntValue(const std::u16string& text, std::string* bytes);

// Pairs of hex digits, optionally separated by spaces ("2a00", "2a 00").
// False for anything else.
bool ParseHexValue(const std::u16string& text, std::string* bytes);

// A value for people, on one line: a UTF-16 string quoted as JSON, an 8-bit
// string quoted with \xNN escapes, other bytes in hex; a 4-byte value that
// is not a UTF-16 string also as a signed integer: "(int N)". Empty for an
// empty value.
std::string ValueText(int type, const uint8_t* value, size_t length);

// One line for people, without its newline: the type name, then (for a
// value that is not empty) a space and ValueText.
std::string DescribeValue(int type, const uint8_t* value, size_t length);

}  // namespace orvo::settool

#endif  // ORVO_TOOLS_SETTOOL_VALUE_TEXT_H_
