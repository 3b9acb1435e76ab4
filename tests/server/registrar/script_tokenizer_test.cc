#include "server/registrar/script_tokenizer.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/server/registrar/registry_dump.h"

namespace orvo::registrar {
namespace {

using Kind = ScriptToken::Kind;

// "W:text", "Q:text", "{", "}", "=" per token, up to the end; "ERROR" for a
// failed read.
std::vector<std::string> Tokens(std::u16string_view script) {
  ScriptTokenizer tokenizer(script);
  std::vector<std::string> out;
  ScriptToken token;
  while (true) {
    if (!tokenizer.Next(&token)) {
      out.push_back("ERROR");
      return out;
    }
    switch (token.kind) {
      case Kind::kWord:
        out.push_back("W:" + testing::Narrow(token.text));
        break;
      case Kind::kQuoted:
        out.push_back("Q:" + testing::Narrow(token.text));
        break;
      case Kind::kOpenBrace:
        out.push_back("{");
        break;
      case Kind::kCloseBrace:
        out.push_back("}");
        break;
      case Kind::kEquals:
        out.push_back("=");
        break;
      case Kind::kEnd:
        return out;
    }
  }
}

using Expected = std::vector<std::string>;

TEST(ScriptTokenizerTest, SplitsOnEveryKindOfWhiteSpace) {
  EXPECT_EQ(Tokens(u"HKCR\r\n{\r\n\tNoRemove CLSID\v\fx}\n}"),
            (Expected{"W:HKCR", "{", "W:NoRemove", "W:CLSID", "W:x}", "}"}));
  EXPECT_EQ(Tokens(u""), Expected{});
  EXPECT_EQ(Tokens(u" \t\r\n "), Expected{});
}

TEST(ScriptTokenizerTest, PunctuationCountsOnlyWhenAlone) {
  EXPECT_EQ(Tokens(u"{ {54E03D1C-9E66} = s '1' }"),
            (Expected{"{", "W:{54E03D1C-9E66}", "=", "W:s", "Q:1", "}"}));
  EXPECT_EQ(Tokens(u"a=b {} == }{"), (Expected{"W:a=b", "W:{}", "W:==", "W:}{"}));
}

TEST(ScriptTokenizerTest, QuotedTokensKeepBlanksBracesAndDoubledQuotes) {
  EXPECT_EQ(Tokens(u"'ICommonInterface Class'"), (Expected{"Q:ICommonInterface Class"}));
  EXPECT_EQ(Tokens(u"'{' '}' '=' 'val'"), (Expected{"Q:{", "Q:}", "Q:=", "Q:val"}));
  EXPECT_EQ(Tokens(u"'Bob''s' '''' ''"), (Expected{"Q:Bob's", "Q:'", "Q:"}));
  EXPECT_EQ(Tokens(u"'a\r\nb'"), (Expected{"Q:a\\u{000D}\\u{000A}b"}));
  // A quoted token ends at its closing quote, even without a blank.
  EXPECT_EQ(Tokens(u"'a'b '1'}"), (Expected{"Q:a", "W:b", "Q:1", "}"}));
  // A quote inside a word is part of the word.
  EXPECT_EQ(Tokens(u"it's"), (Expected{"W:it's"}));
}

TEST(ScriptTokenizerTest, UnterminatedQuoteFailsAndStaysFailed) {
  ScriptTokenizer tokenizer(u"a 'open ''");
  ScriptToken token;
  ASSERT_TRUE(tokenizer.Next(&token));
  EXPECT_EQ(token.kind, Kind::kWord);
  EXPECT_FALSE(tokenizer.Next(&token));
  ASSERT_TRUE(tokenizer.Next(&token));
  EXPECT_EQ(token.kind, Kind::kEnd);
  EXPECT_EQ(Tokens(u"'"), (Expected{"ERROR"}));
}

TEST(ScriptTokenizerTest, NulEndsTheScript) {
  const std::u16string script(u"HKCR { }\0 junk 'unterminated", 28);
  EXPECT_EQ(Tokens(script), (Expected{"W:HKCR", "{", "}"}));
}

TEST(ScriptTokenizerTest, OffsetsPointAtTokenStarts) {
  ScriptTokenizer tokenizer(u"  ab\t'c d'  {");
  ScriptToken token;
  std::vector<size_t> offsets;
  do {
    ASSERT_TRUE(tokenizer.Next(&token));
    offsets.push_back(token.offset);
  } while (token.kind != Kind::kEnd);
  EXPECT_EQ(offsets, (std::vector<size_t>{2, 5, 12, 13}));
}

}  // namespace
}  // namespace orvo::registrar
