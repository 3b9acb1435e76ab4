#include "tools/settool/json.h"

#include <gtest/gtest.h>

#include <string>

#include "store/file_io.h"
#include "tests/testing/tree_util.h"
#include "tools/settool/tree_json.h"

using orvo::store::NewTree;

namespace orvo::settool {
namespace {

using orvo::testing::AddChild;
using orvo::testing::DescribeTree;
using orvo::testing::MakeNode;

std::string Quote(const std::u16string& s) {
  std::string out;
  AppendJsonString(s.data(), s.size(), &out);
  return out;
}

TEST(JsonLexerTest, Tokens) {
  JsonLexer lex(" {\"a\" : [true,false,null]}\n");
  const JsonToken expected[] = {JsonToken::kBeginObject, JsonToken::kString,    JsonToken::kColon,
                                JsonToken::kBeginArray,  JsonToken::kTrue,      JsonToken::kComma,
                                JsonToken::kFalse,       JsonToken::kComma,     JsonToken::kNull,
                                JsonToken::kEndArray,    JsonToken::kEndObject, JsonToken::kEnd};
  for (JsonToken t : expected) EXPECT_EQ(lex.Next(), t);
  EXPECT_EQ(lex.Next(), JsonToken::kEnd);
}

TEST(JsonLexerTest, Numbers) {
  struct Case {
    const char* text;
    bool integer;
    bool negative;
    uint64_t magnitude;
    bool overflow;
  } cases[] = {
      {"0", true, false, 0, false},
      {"4294967295", true, false, 4294967295u, false},
      {"-7", true, true, 7, false},
      {"1.5", false, false, 1, false},
      {"2e3", false, false, 2, false},
      {"18446744073709551615", true, false, UINT64_MAX, false},
      {"18446744073709551616", true, false, UINT64_MAX, true},
  };
  for (const Case& c : cases) {
    JsonLexer lex(c.text);
    ASSERT_EQ(lex.Next(), JsonToken::kNumber) << c.text;
    EXPECT_EQ(lex.number_is_integer(), c.integer) << c.text;
    EXPECT_EQ(lex.number_negative(), c.negative) << c.text;
    EXPECT_EQ(lex.number_magnitude(), c.magnitude) << c.text;
    EXPECT_EQ(lex.number_overflow(), c.overflow) << c.text;
    EXPECT_EQ(lex.Next(), JsonToken::kEnd) << c.text;
  }
  for (const char* bad : {"-", "01", "1.", "1e", "1e+", "-x"}) {
    JsonLexer lex(bad);
    EXPECT_EQ(lex.Next(), JsonToken::kError) << bad;
    EXPECT_FALSE(lex.error().empty());
  }
}

TEST(JsonLexerTest, Strings) {
  JsonLexer lex(R"("a\"\\\/\b\f\n\r\t" "\u00e9\ud83d\ude00" "\ud800x" "\udfff" "é中")");
  ASSERT_EQ(lex.Next(), JsonToken::kString);
  EXPECT_EQ(lex.string_value(), u"a\"\\/\b\f\n\r\t");
  ASSERT_EQ(lex.Next(), JsonToken::kString);
  EXPECT_EQ(lex.string_value(), u"\u00e9\U0001F600");
  ASSERT_EQ(lex.Next(), JsonToken::kString);
  EXPECT_EQ(lex.string_value(), (std::u16string{0xD800, u'x'}));  // lone surrogates are kept
  ASSERT_EQ(lex.Next(), JsonToken::kString);
  EXPECT_EQ(lex.string_value(), std::u16string(1, char16_t{0xDFFF}));
  ASSERT_EQ(lex.Next(), JsonToken::kString);
  EXPECT_EQ(lex.string_value(), u"\u00e9\u4e2d");
}

TEST(JsonLexerTest, BadInputIsReportedWithItsPlace) {
  struct Case {
    std::string text;
    int line;
    int column;
  } cases[] = {
      {"\"open", 1, 1},       {"\"bad \\x escape\"", 1, 1},
      {"\"\\u12g4\"", 1, 1},  {"\"\\u12\"", 1, 1},
      {"\"raw\ttab\"", 1, 1}, {"\"\xC3(\"", 1, 1},  // not UTF-8
      {"\n\n   @", 3, 4},     {"  tru", 1, 3},
      {"\x01", 1, 1},
  };
  for (const Case& c : cases) {
    JsonLexer lex(c.text);
    JsonToken t;
    do {
      t = lex.Next();
    } while (t != JsonToken::kError && t != JsonToken::kEnd);
    EXPECT_EQ(t, JsonToken::kError) << c.text;
    EXPECT_EQ(lex.line(), c.line) << c.text;
    EXPECT_EQ(lex.column(), c.column) << c.text;
    EXPECT_EQ(lex.Next(), JsonToken::kError);  // stays failed
  }
}

TEST(JsonWriterTest, Escapes) {
  EXPECT_EQ(Quote(u"plain"), "\"plain\"");
  EXPECT_EQ(Quote(u"q\"b\\s/"), "\"q\\\"b\\\\s/\"");
  EXPECT_EQ(Quote(u"\b\f\n\r\t\x01\x1f\x7f"), "\"\\b\\f\\n\\r\\t\\u0001\\u001f\x7f\"");
  EXPECT_EQ(Quote(std::u16string(1, u'\0')), "\"\\u0000\"");
  EXPECT_EQ(Quote(u"\u00e9\U0001F600"), "\"\xC3\xA9\xF0\x9F\x98\x80\"");
  EXPECT_EQ(Quote(std::u16string{0xD800}), "\"\\ud800\"");
  EXPECT_EQ(Quote(std::u16string{u'a', 0xDC00, 0xD83D}), "\"a\\udc00\\ud83d\"");
  // Whatever is written reads back as the same units.
  std::u16string all;
  for (uint32_t u = 0; u <= 0xFFFF; u += 7) all.push_back(static_cast<char16_t>(u));
  const std::string quoted = Quote(all);
  JsonLexer lex(quoted);
  ASSERT_EQ(lex.Next(), JsonToken::kString);
  EXPECT_EQ(lex.string_value(), all);
}

// A tree with every kind of name, value and id.
CfNode* SampleTree() {
  CfNode* root = NewTree();
  CfNode* app = AddChild(root, MakeNode(u"APP", 0x20, "", true));
  CfNode* rec = AddChild(app, MakeNode(u"", 0, "", true), 0x80000001u);
  AddChild(rec, MakeNode(u"Name", CfTypeWString, std::string("N\0a\0\0\0", 6)));
  AddChild(rec, MakeNode(u"Width", CfTypeBinary | 0x10, std::string("\x20\x03\0\0", 4)));
  AddChild(app, MakeNode(u"", CfTypeString, std::string("x\0", 2)), 0x80000001u);
  AddChild(root, MakeNode(std::u16string{u'q', u'"', 0xD800, u'\t'}, 0xE3, "\xff"));
  return root;
}

TEST(TreeJsonTest, WritesTheDocumentedForm) {
  CfTree root(SampleTree());
  std::string json;
  AppendTreeJson(root.get(), &json);
  EXPECT_EQ(json,
            "{\"name\": \"Root\", \"flags\": 0, \"value_hex\": \"\", \"children\": ["
            "{\"id\": 1448, \"node\": {\"name\": \"APP\", \"flags\": 32, \"value_hex\": \"\", "
            "\"children\": [{\"id\": 2147483649, \"node\": {\"name\": \"\", \"flags\": 0, "
            "\"value_hex\": \"\", \"children\": [{\"id\": 3174, \"node\": {\"name\": \"Name\", "
            "\"flags\": 3, \"wstring\": \"Na\", \"children\": []}}, {\"id\": 6960, "
            "\"node\": {\"name\": \"Width\", \"flags\": 17, \"int\": 800, "
            "\"children\": []}}]}}, {\"id\": 2147483649, \"node\": {\"name\": \"\", \"flags\": 2, "
            "\"string\": \"x\", \"children\": []}}]}}, {\"id\": 223283, \"node\": {\"name\": "
            "\"q\\\"\\ud800\\t\", \"flags\": 227, \"value_hex\": "
            "\"ff\", \"children\": []}}]}\n");
}

TEST(TreeJsonTest, ReadsWhatItWrites) {
  CfTree root(SampleTree());
  std::string json;
  AppendTreeJson(root.get(), &json);
  std::string error;
  CfTree back(ParseTreeJson(json, &error));
  ASSERT_TRUE(back.get()) << error;
  EXPECT_EQ(DescribeTree(back.get()), DescribeTree(root.get()));
}

TEST(TreeJsonTest, MembersInAnyOrderAndChildrenSorted) {
  std::string error;
  CfTree t(ParseTreeJson(
      R"({"children": [{"node": {"flags": 12, "name": "b"}, "id": 196},
                       {"node": {"name": "a", "flags": 0, "value_hex": "0A0b"}},
                       {"id": 5, "node": {"name": "", "flags": 0, "children": []}},
                       {"node": {"name": "c", "int": -1}},
                       {"id": 5, "node": {"name": "", "string": "\u00e9", "flags": 18}}],
          "flags": 255, "name": "R", "value_hex": ""})",
      &error));
  ASSERT_TRUE(t.get()) << error;
  // Branch and key-bound bits come from the shape, never from "flags".
  EXPECT_EQ(DescribeTree(t.get()),
            "[0] R flags=0xf7 value= branch\n"
            "  [5]  flags=0x00 value= leaf\n"
            "  [5]  flags=0x12 value=c3a900 leaf\n"
            "  [194] a flags=0x00 value=0a0b leaf\n"
            "  [196] b flags=0x00 value= leaf\n"
            "  [198] c flags=0x01 value=ffffffff leaf\n");
}

TEST(TreeJsonTest, RefusesBadTrees) {
  const char* cases[] = {
      "",
      "[]",
      R"({"name": "R", "value_hex": "00"})",
      R"({"flags": 0})",
      R"({"name": "R", "flags": 0, "children": [{"id": 5, "node": {"name": "b", "flags": 0}}]})",
      R"({"name": "R", "children": [{"node": {"name": "Ab"}}, {"node": {"name": "aB"}}]})",
      R"({"name": "R", "children": [{"node": {"name": ""}}]})",
      R"({"name": "R", "flags": 3, "int": 1})",
      R"({"name": "R", "wstring": "a", "value_hex": "6100"})",
      R"({"name": "R", "int": 4294967296})",
      R"({"name": "R", "int": -2147483649})",
      R"({"name": "R", "int": 1.5})",
      R"({"name": "R", "wstring": 1})",
      R"({"name": "R", "string": "a\u0000b"})",
      R"({"name": "R", "flags": 256})",
      R"({"name": "R", "flags": -1})",
      R"({"name": "R", "flags": 1.5})",
      R"({"name": "R", "flags": "1"})",
      R"({"name": "R", "name": "S", "flags": 0})",
      R"({"name": "R", "flags": 0, "extra": 1})",
      R"({"name": "R", "flags": 0, "value_hex": "abc"})",
      R"({"name": "R", "flags": 0, "value_hex": "zz"})",
      R"({"name": "a/b", "flags": 0})",
      R"({"name": "a\\b", "flags": 0})",
      R"({"name": "a\u0000b", "flags": 0})",
      R"({"name": "a<b", "flags": 0})",
      R"({"name": ">", "flags": 0})",
      R"({"name": "R", "flags": 0, "children": [{"node": {"name": "", "flags": 0}}]})",
      R"({"name": "R", "flags": 0, "children": [{"id": 1}]})",
      R"({"name": "R", "flags": 0, "children": [{"id": -1, "node": {"name": "c", "flags": 0}}]})",
      R"({"name": "R", "flags": 0, "children": [{"id": 4294967296, "node": {}}]})",
      R"({"name": "R", "flags": 0, "children": [{"id": 1, "id": 2}]})",
      R"({"name": "R", "flags": 0, "children": [{"id": 1, "node": {"name": "c", "flags": 0}},]})",
      R"({"name": "R", "flags": 0,})",
      R"({"name": "R", "flags": 0} {})",
      R"({"name": "R", "flags": 0, "children": [{"id": 1, "node": {"name": "c", "flags": 0})",
  };
  for (const char* text : cases) {
    std::string error;
    EXPECT_EQ(ParseTreeJson(text, &error), nullptr) << text;
    EXPECT_EQ(error.rfind("line ", 0), 0u) << text << " -> " << error;
  }
  std::string error;
  const std::string long_name = "{\"name\": \"" + std::string(256, 'n') + "\", \"flags\": 0}";
  EXPECT_EQ(ParseTreeJson(long_name, &error), nullptr);
  const std::string long_value =
      "{\"name\": \"v\", \"flags\": 0, \"value_hex\": \"" + std::string(2 * 65536, 'a') + "\"}";
  EXPECT_EQ(ParseTreeJson(long_value, &error), nullptr);
  EXPECT_NE(error.find("65535"), std::string::npos);
  // The largest value and name still fit.
  CfTree t(ParseTreeJson("{\"name\": \"" + std::string(255, 'n') +
                             "\", \"flags\": 1, \"value_hex\": \"" + std::string(2 * 65535, 'a') +
                             "\"}",
                         &error));
  ASSERT_TRUE(t.get()) << error;
  EXPECT_EQ(t.get()->value_length, 65535);
  EXPECT_EQ(t.get()->name_length, 255);
}

TEST(TreeJsonTest, DeepNestingWithoutRecursion) {
  constexpr int kDepth = 100000;
  std::string json;
  for (int i = 0; i < kDepth; ++i) {
    json +=
        "{\"name\": \"\", \"flags\": 0, \"value_hex\": \"\", \"children\": [{\"id\": 7, "
        "\"node\": ";
  }
  json += "{\"name\": \"\", \"flags\": 0, \"value_hex\": \"\", \"children\": []}";
  for (int i = 0; i < kDepth; ++i) json += "}]}";
  json += "\n";
  std::string error;
  CfTree t(ParseTreeJson(json, &error));
  ASSERT_TRUE(t.get()) << error;
  std::string back;
  AppendTreeJson(t.get(), &back);
  EXPECT_EQ(back, json);
  // Cut anywhere, the same input is refused, and what was built is freed.
  EXPECT_EQ(ParseTreeJson(json.substr(0, json.size() / 2), &error), nullptr);
  EXPECT_EQ(ParseTreeJson(json.substr(0, json.size() - 3), &error), nullptr);
}

}  // namespace
}  // namespace orvo::settool
