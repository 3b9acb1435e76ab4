#include "platform/utf.h"

#include <gtest/gtest.h>

#include <string>

namespace orvo::platform {
namespace {

std::u16string FromUtf8(const std::string& s, bool* ok = nullptr) { return Utf8ToUtf16(s, ok); }

TEST(Utf16ToUtf8Test, WellFormedText) {
  EXPECT_EQ(Utf16ToUtf8(u"", LoneSurrogate::kReplace), "");
  EXPECT_EQ(Utf16ToUtf8(u"Root", LoneSurrogate::kReplace), "Root");
  EXPECT_EQ(Utf16ToUtf8(u"\u00e9", LoneSurrogate::kReplace), "\xC3\xA9");
  EXPECT_EQ(Utf16ToUtf8(u"\u4e2d", LoneSurrogate::kReplace), "\xE4\xB8\xAD");
  EXPECT_EQ(Utf16ToUtf8(u"\U0001F600", LoneSurrogate::kReplace), "\xF0\x9F\x98\x80");
  EXPECT_EQ(Utf16ToUtf8(u"\U0010FFFF", LoneSurrogate::kEncode), "\xF4\x8F\xBF\xBF");
  const char16_t with_nul[] = {u'a', 0, u'b'};
  EXPECT_EQ(Utf16ToUtf8(with_nul, 3, LoneSurrogate::kReplace), std::string("a\0b", 3));
}

TEST(Utf16ToUtf8Test, LoneSurrogates) {
  const char16_t high_at_end[] = {u'a', 0xD83D};
  const char16_t low_first[] = {0xDE00, u'b'};
  const char16_t two_highs[] = {0xD83D, 0xD83D, 0xDE00};
  EXPECT_EQ(Utf16ToUtf8(high_at_end, 2, LoneSurrogate::kReplace), "a\xEF\xBF\xBD");
  EXPECT_EQ(Utf16ToUtf8(high_at_end, 2, LoneSurrogate::kEncode), "a\xED\xA0\xBD");
  EXPECT_EQ(Utf16ToUtf8(low_first, 2, LoneSurrogate::kReplace),
            "\xEF\xBF\xBD"
            "b");
  EXPECT_EQ(Utf16ToUtf8(low_first, 2, LoneSurrogate::kEncode),
            "\xED\xB8\x80"
            "b");
  // The first high unit is lone; the second pairs with the low one.
  EXPECT_EQ(Utf16ToUtf8(two_highs, 3, LoneSurrogate::kReplace), "\xEF\xBF\xBD\xF0\x9F\x98\x80");
  // The length bounds the input: a pair cut by it is a lone unit.
  EXPECT_EQ(Utf16ToUtf8(two_highs, 2, LoneSurrogate::kReplace), "\xEF\xBF\xBD\xEF\xBF\xBD");
}

TEST(Utf8ToUtf16Test, WellFormedText) {
  bool ok = false;
  EXPECT_EQ(FromUtf8("Root", &ok), u"Root");
  EXPECT_TRUE(ok);
  EXPECT_EQ(FromUtf8("\xC3\xA9\xE4\xB8\xAD\xF0\x9F\x98\x80", &ok), u"\u00e9\u4e2d\U0001F600");
  EXPECT_TRUE(ok);
  EXPECT_EQ(FromUtf8(std::string("a\0b", 3), &ok), std::u16string(u"a\0b", 3));
  EXPECT_TRUE(ok);
}

TEST(Utf8ToUtf16Test, SurrogateFormsGiveTheUnitBack) {
  bool ok = false;
  EXPECT_EQ(FromUtf8("\xED\xA0\xBD", &ok), std::u16string(1, char16_t{0xD83D}));
  EXPECT_TRUE(ok);
}

TEST(Utf8ToUtf16Test, BadInputBecomesReplacementCharacters) {
  struct Case {
    std::string in;
    std::u16string out;
  } cases[] = {
      {"\x80", u"\uFFFD"},                      // stray continuation byte
      {"\xC0\x80", u"\uFFFD\uFFFD"},            // overlong NUL: bad lead, stray byte
      {"\xE0\x80\x80", u"\uFFFD\uFFFD\uFFFD"},  // overlong three-byte form
      {"\xF0\x80\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD"},
      {"\xF4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD"},  // above U+10FFFF
      {"\xFF"
       "a",
       u"\uFFFD"
       "a"},
      {"a\xE4\xB8", u"a\uFFFD"},  // cut at the end: one replacement
      {"\xE4\xB8"
       "b",
       u"\uFFFD"
       "b"},  // cut by an ASCII byte, which stays
      {"\xF0\x9F\x98", u"\uFFFD"},
  };
  for (const Case& c : cases) {
    bool ok = true;
    EXPECT_EQ(FromUtf8(c.in, &ok), c.out);
    EXPECT_FALSE(ok);
  }
}

TEST(UtfRoundTripTest, EveryUnitSurvivesTheEncodedForm) {
  std::u16string all;
  for (uint32_t u = 0; u <= 0xFFFF; ++u) all.push_back(static_cast<char16_t>(u));
  bool ok = false;
  EXPECT_EQ(FromUtf8(Utf16ToUtf8(all, LoneSurrogate::kEncode), &ok), all);
  EXPECT_TRUE(ok);
  // Replaced text is always well formed UTF-8.
  const std::u16string replaced = FromUtf8(Utf16ToUtf8(all, LoneSurrogate::kReplace), &ok);
  EXPECT_TRUE(ok);
  // DBFF DC00 form the only pair; the other 2046 surrogates are lone and
  // replaced, next to the U+FFFD that was there already.
  ASSERT_EQ(replaced.size(), all.size());
  size_t replacements = 0;
  for (char16_t u : replaced) replacements += u == 0xFFFD;
  EXPECT_EQ(replacements, 2047u);
  EXPECT_EQ(replaced.substr(0xDBFF, 2), all.substr(0xDBFF, 2));
}

}  // namespace
}  // namespace orvo::platform
