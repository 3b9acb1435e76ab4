#include "tools/settool/json.h"

#include <cstdio>

#include "platform/utf.h"

namespace orvo::settool {

namespace {

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

const char* JsonTokenName(JsonToken token) {
  switch (token) {
    case JsonToken::kBeginObject:
      return "'{'";
    case JsonToken::kEndObject:
      return "'}'";
    case JsonToken::kBeginArray:
      return "'['";
    case JsonToken::kEndArray:
      return "']'";
    case JsonToken::kColon:
      return "':'";
    case JsonToken::kComma:
      return "','";
    case JsonToken::kString:
      return "a string";
    case JsonToken::kNumber:
      return "a number";
    case JsonToken::kTrue:
      return "'true'";
    case JsonToken::kFalse:
      return "'false'";
    case JsonToken::kNull:
      return "'null'";
    case JsonToken::kEnd:
      return "the end of the input";
    case JsonToken::kError:
      return "an error";
  }
  return "a token";
}

void JsonLexer::Advance(size_t n) { pos_ += n; }

JsonToken JsonLexer::Fail(const std::string& why) {
  if (!failed_) {
    failed_ = true;
    error_ = why;
  }
  return JsonToken::kError;
}

JsonToken JsonLexer::Next() {
  if (failed_) return JsonToken::kError;
  for (; pos_ < text_.size(); ++pos_) {
    const char c = text_[pos_];
    if (c == '\n') {
      ++line_;
      line_start_ = pos_ + 1;
    } else if (c != ' ' && c != '\t' && c != '\r') {
      break;
    }
  }
  token_line_ = line_;
  token_column_ = static_cast<int>(pos_ - line_start_) + 1;
  if (pos_ >= text_.size()) return JsonToken::kEnd;
  const char c = text_[pos_];
  switch (c) {
    case '{':
      Advance(1);
      return JsonToken::kBeginObject;
    case '}':
      Advance(1);
      return JsonToken::kEndObject;
    case '[':
      Advance(1);
      return JsonToken::kBeginArray;
    case ']':
      Advance(1);
      return JsonToken::kEndArray;
    case ':':
      Advance(1);
      return JsonToken::kColon;
    case ',':
      Advance(1);
      return JsonToken::kComma;
    case '"':
      return LexString();
    case 't':
      return LexWord("true", JsonToken::kTrue);
    case 'f':
      return LexWord("false", JsonToken::kFalse);
    case 'n':
      return LexWord("null", JsonToken::kNull);
    default:
      if (c == '-' || IsDigit(c)) return LexNumber();
      if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) >= 0x7F) {
        char buf[48];
        std::snprintf(buf, sizeof(buf), "unexpected byte 0x%02X", static_cast<unsigned char>(c));
        return Fail(buf);
      }
      return Fail(std::string("unexpected character '") + c + "'");
  }
}

JsonToken JsonLexer::LexWord(const char* word, JsonToken token) {
  size_t n = 0;
  while (word[n] != 0) ++n;
  if (text_.substr(pos_, n) != std::string_view(word, n))
    return Fail("unknown word (expected a JSON value)");
  Advance(n);
  return token;
}

JsonToken JsonLexer::LexNumber() {
  // -?(0|[1-9][0-9]*)(\.[0-9]+)?([eE][+-]?[0-9]+)?
  size_t p = pos_;
  negative_ = false;
  integer_ = true;
  overflow_ = false;
  magnitude_ = 0;
  if (text_[p] == '-') {
    negative_ = true;
    ++p;
  }
  if (p >= text_.size() || !IsDigit(text_[p])) return Fail("a number needs digits");
  if (text_[p] == '0' && p + 1 < text_.size() && IsDigit(text_[p + 1])) {
    return Fail("a number cannot have a leading zero");
  }
  for (; p < text_.size() && IsDigit(text_[p]); ++p) {
    const uint64_t d = static_cast<uint64_t>(text_[p] - '0');
    if (magnitude_ > (UINT64_MAX - d) / 10) {
      overflow_ = true;
      magnitude_ = UINT64_MAX;
    } else {
      magnitude_ = magnitude_ * 10 + d;
    }
  }
  if (p < text_.size() && text_[p] == '.') {
    integer_ = false;
    ++p;
    if (p >= text_.size() || !IsDigit(text_[p])) return Fail("a fraction needs digits");
    while (p < text_.size() && IsDigit(text_[p])) ++p;
  }
  if (p < text_.size() && (text_[p] == 'e' || text_[p] == 'E')) {
    integer_ = false;
    ++p;
    if (p < text_.size() && (text_[p] == '+' || text_[p] == '-')) ++p;
    if (p >= text_.size() || !IsDigit(text_[p])) return Fail("an exponent needs digits");
    while (p < text_.size() && IsDigit(text_[p])) ++p;
  }
  Advance(p - pos_);
  return JsonToken::kNumber;
}

JsonToken JsonLexer::LexString() {
  string_.clear();
  size_t p = pos_ + 1;  // past the opening quote
  for (;;) {
    // A run of raw text up to the next quote, backslash or control byte.
    size_t run = p;
    while (run < text_.size() && text_[run] != '"' && text_[run] != '\\' &&
           static_cast<unsigned char>(text_[run]) >= 0x20) {
      ++run;
    }
    if (run > p) {
      bool well_formed = true;
      string_ += platform::Utf8ToUtf16(text_.data() + p, run - p, &well_formed);
      if (!well_formed) return Fail("a string holds bytes that are not UTF-8");
      p = run;
    }
    if (p >= text_.size()) return Fail("a string is not closed");
    const char c = text_[p];
    if (c == '"') {
      Advance(p + 1 - pos_);
      return JsonToken::kString;
    }
    if (c != '\\') return Fail("a string holds a raw control character (escape it)");
    if (p + 1 >= text_.size()) return Fail("a string is not closed");
    const char e = text_[p + 1];
    p += 2;
    switch (e) {
      case '"':
        string_ += u'"';
        break;
      case '\\':
        string_ += u'\\';
        break;
      case '/':
        string_ += u'/';
        break;
      case 'b':
        string_ += u'\b';
        break;
      case 'f':
        string_ += u'\f';
        break;
      case 'n':
        string_ += u'\n';
        break;
      case 'r':
        string_ += u'\r';
        break;
      case 't':
        string_ += u'\t';
        break;
      case 'u': {
        if (text_.size() - p < 4) return Fail("\\u needs four hex digits");
        unsigned unit = 0;
        for (int i = 0; i < 4; ++i) {
          const int d = HexDigit(text_[p + i]);
          if (d < 0) return Fail("\\u needs four hex digits");
          unit = unit * 16 + static_cast<unsigned>(d);
        }
        string_ += static_cast<char16_t>(unit);  // lone surrogates are kept as they are
        p += 4;
        break;
      }
      default:
        return Fail(std::string("unknown escape \\") +
                    (static_cast<unsigned char>(e) >= 0x20 && static_cast<unsigned char>(e) < 0x7F
                         ? std::string(1, e)
                         : std::string("?")));
    }
  }
}

void AppendJsonString(const char16_t* s, size_t n, std::string* out) {
  out->push_back('"');
  size_t run = 0;  // start of text not yet written
  auto flush = [&](size_t end) {
    if (end > run) {
      out->append(platform::Utf16ToUtf8(s + run, end - run, platform::LoneSurrogate::kEncode));
    }
  };
  for (size_t i = 0; i < n; ++i) {
    const char16_t u = s[i];
    const bool high = u >= 0xD800 && u <= 0xDBFF;
    const bool low = u >= 0xDC00 && u <= 0xDFFF;
    if (high && i + 1 < n && s[i + 1] >= 0xDC00 && s[i + 1] <= 0xDFFF) {
      ++i;  // a pair: plain text
      continue;
    }
    const char* esc = nullptr;
    char buf[8];
    switch (u) {
      case u'"':
        esc = "\\\"";
        break;
      case u'\\':
        esc = "\\\\";
        break;
      case u'\b':
        esc = "\\b";
        break;
      case u'\f':
        esc = "\\f";
        break;
      case u'\n':
        esc = "\\n";
        break;
      case u'\r':
        esc = "\\r";
        break;
      case u'\t':
        esc = "\\t";
        break;
      default:
        if (u < 0x20 || high || low) {
          std::snprintf(buf, sizeof(buf), "\\u%04x", static_cast<unsigned>(u));
          esc = buf;
        }
    }
    if (esc != nullptr) {
      flush(i);
      out->append(esc);
      run = i + 1;
    }
  }
  flush(n);
  out->push_back('"');
}

}  // namespace orvo::settool
