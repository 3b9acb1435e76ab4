// Conversions between UTF-16 (char16_t) and UTF-8.
//
// Neither direction fails. Text that is not well formed is carried over as
// described per function; nothing is read past the given length.
#ifndef ORVO_PLATFORM_UTF_H_
#define ORVO_PLATFORM_UTF_H_

#include <cstddef>
#include <string>

namespace orvo::platform {

// What to do with a UTF-16 code unit that is a surrogate without its partner.
enum class LoneSurrogate {
  kReplace,  // write U+FFFD (for text shown to people)
  kEncode,   // write its three-byte form (ED A0 80 to ED BF BF), so that
             // Utf8ToUtf16 gives the same unit back (for file names)
};

// Converts |n| UTF-16 units. Surrogate pairs become one four-byte sequence.
std::string Utf16ToUtf8(const char16_t* s, size_t n, LoneSurrogate lone);
std::string Utf16ToUtf8(const std::u16string& s, LoneSurrogate lone);

// Converts |n| bytes of UTF-8. A three-byte form of a surrogate (as written by
// LoneSurrogate::kEncode) gives that unit back; any other byte sequence that
// is not well formed UTF-8 (stray continuation bytes, overlong forms, values
// above U+10FFFF, cut sequences) gives one U+FFFD per maximal bad part.
// If |well_formed| is not null it receives whether no U+FFFD was produced
// for bad input.
std::u16string Utf8ToUtf16(const char* s, size_t n, bool* well_formed = nullptr);
std::u16string Utf8ToUtf16(const std::string& s, bool* well_formed = nullptr);

}  // namespace orvo::platform

#endif  // ORVO_PLATFORM_UTF_H_
