// A small JSON reader and the string escaping of the JSON writer.
//
// The reader is a lexer: callers pull tokens and keep their own (explicit)
// stack, so nesting depth never costs native stack. Strings come out as
// UTF-16: raw text must be UTF-8, and \uXXXX escapes may give any code unit,
// lone surrogates included.
#ifndef ORVO_TOOLS_SETTOOL_JSON_H_
#define ORVO_TOOLS_SETTOOL_JSON_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace orvo::settool {

enum class JsonToken {
  kBeginObject,  // {
  kEndObject,    // }
  kBeginArray,   // [
  kEndArray,     // ]
  kColon,
  kComma,
  kString,
  kNumber,
  kTrue,
  kFalse,
  kNull,
  kEnd,    // only white space was left
  kError,  // see error()
};

// A name for messages: "'{'", "a string", "the end of the input", ...
const char* JsonTokenName(JsonToken token);

class JsonLexer {
 public:
  // REQUIRES: |text| outlives the lexer.
  explicit JsonLexer(std::string_view text) : text_(text) {}

  // Reads the next token. After kError every call returns kError again.
  JsonToken Next();

  // The value of the last kString token.
  const std::u16string& string_value() const { return string_; }
  // The last kNumber token: whether it is an integer (no fraction, no
  // exponent) and, if so, its sign and magnitude (saturating at UINT64_MAX,
  // with number_overflow() set).
  bool number_is_integer() const { return integer_; }
  bool number_negative() const { return negative_; }
  uint64_t number_magnitude() const { return magnitude_; }
  bool number_overflow() const { return overflow_; }

  // Where the last token began: line and column, both counted from 1
  // (columns in bytes).
  int line() const { return token_line_; }
  int column() const { return token_column_; }
  // Why the last kError came.
  const std::string& error() const { return error_; }

 private:
  JsonToken Fail(const std::string& why);
  JsonToken LexString();
  JsonToken LexNumber();
  JsonToken LexWord(const char* word, JsonToken token);
  void Advance(size_t n);

  std::string_view text_;
  size_t pos_ = 0;
  int line_ = 1;
  size_t line_start_ = 0;
  int token_line_ = 1;
  int token_column_ = 1;
  bool failed_ = false;
  std::u16string string_;
  bool integer_ = false;
  bool negative_ = false;
  uint64_t magnitude_ = 0;
  bool overflow_ = false;
  std::string error_;
};

// Appends |s| as a quoted JSON string: '"' and '\' escaped, control
// characters as \b \f \n \r \t or \u00XX, surrogate pairs and other text as
// UTF-8, and lone surrogates as \uXXXX escapes (lower-case hex).
void AppendJsonString(const char16_t* s, size_t n, std::string* out);

}  // namespace orvo::settool

#endif  // ORVO_TOOLS_SETTOOL_JSON_H_
