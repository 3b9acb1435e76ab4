#include "tools/settool/value_text.h"

#include <cstdio>

#include "platform/utf.h"
#include "tools/settool/json.h"

namespace orvo::settool {

namespace {

int HexDigit(char16_t c) {
  if (c >= u'0' && c <= u'9') return c - u'0';
  if (c >= u'a' && c <= u'f') return c - u'a' + 10;
  if (c >= u'A' && c <= u'F') return c - u'A' + 10;
  return -1;
}

void AppendFixed32(uint32_t v, std::string* out) {
  for (int i = 0; i < 4; ++i) out->push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}

void AppendHex(const uint8_t* v, size_t n, std::string* out) {
  char buf[4];
  for (size_t i = 0; i < n; ++i) {
    std::snprintf(buf, sizeof(buf), i == 0 ? "%02x" : " %02x", v[i]);
    out->append(buf);
  }
}

// Printable ASCII as it is, '"' and '\' escaped, every other byte as \xNN.
void AppendQuotedBytes(const uint8_t* v, size_t n, std::string* out) {
  out->push_back('"');
  char buf[8];
  for (size_t i = 0; i < n; ++i) {
    const uint8_t c = v[i];
    if (c == '"' || c == '\\') {
      out->push_back('\\');
      out->push_back(static_cast<char>(c));
    } else if (c >= 0x20 && c < 0x7F) {
      out->push_back(static_cast<char>(c));
    } else {
      std::snprintf(buf, sizeof(buf), "\\x%02x", c);
      out->append(buf);
    }
  }
  out->push_back('"');
}

}  // namespace

const char* ValueTypeName(int type) {
  switch (type) {
    case 1:
      return "binary";
    case 2:
      return "string";
    case 3:
      return "wstring";
    default:
      return "none";
  }
}

std::string WStringValueBytes(const std::u16string& text) {
  std::string bytes;
  bytes.reserve(2 * text.size() + 2);
  for (char16_t c : text) {
    bytes.push_back(static_cast<char>(c & 0xFF));
    bytes.push_back(static_cast<char>(c >> 8));
  }
  bytes.append(2, '\0');
  return bytes;
}

std::string StringValueBytes(const std::u16string& text) {
  std::string bytes = platform::Utf16ToUtf8(text, platform::LoneSurrogate::kEncode);
  bytes.push_back('\0');
  return bytes;
}

bool ParseIntValue(const std::u16string& text, std::string* bytes) {
  size_t i = 0;
  bool negative = false;
  if (i < text.size() && (text[i] == u'-' || text[i] == u'+')) negative = text[i++] == u'-';
  unsigned base = 10;
  if (text.size() - i > 2 && text[i] == u'0' && (text[i + 1] == u'x' || text[i + 1] == u'X')) {
    base = 16;
    i += 2;
  }
  if (i == text.size()) return false;
  uint64_t magnitude = 0;
  for (; i < text.size(); ++i) {
    const int d = HexDigit(text[i]);
    if (d < 0 || static_cast<unsigned>(d) >= base) return false;
    magnitude = magnitude * base + static_cast<unsigned>(d);
    if (magnitude > 0xFFFFFFFFull) return false;
  }
  if (negative && magnitude > 0x80000000ull) return false;
  const uint32_t v =
      negative ? static_cast<uint32_t>(0 - magnitude) : static_cast<uint32_t>(magnitude);
  bytes->clear();
  AppendFixed32(v, bytes);
  return true;
}

bool ParseHexValue(const std::u16string& text, std::string* bytes) {
  std::string out;
  size_t i = 0;
  while (i < text.size()) {
    if (text[i] == u' ') {
      ++i;
      continue;
    }
    if (i + 1 >= text.size()) return false;
    const int hi = HexDigit(text[i]);
    const int lo = HexDigit(text[i + 1]);
    if (hi < 0 || lo < 0) return false;
    out.push_back(static_cast<char>(hi * 16 + lo));
    i += 2;
  }
  bytes->swap(out);
  return true;
}

std::string ValueText(int type, const uint8_t* value, size_t length) {
  std::string out;
  if (length == 0) return out;
  if (type == 3 && length % 2 == 0) {
    std::u16string text(length / 2, u'\0');
    for (size_t i = 0; i < text.size(); ++i) {
      text[i] = static_cast<char16_t>(value[2 * i] | (value[2 * i + 1] << 8));
    }
    if (text.back() == 0) text.pop_back();  // the terminator
    AppendJsonString(text.data(), text.size(), &out);
  } else if (type == 2) {
    AppendQuotedBytes(value, value[length - 1] == 0 ? length - 1 : length, &out);
  } else {
    AppendHex(value, length, &out);
  }
  // A UTF-16 string is text: "A" and its terminator are not a number.
  if (length == 4 && type != 3) {
    const uint32_t u = static_cast<uint32_t>(value[0]) | (static_cast<uint32_t>(value[1]) << 8) |
                       (static_cast<uint32_t>(value[2]) << 16) |
                       (static_cast<uint32_t>(value[3]) << 24);
    out += " (int " + std::to_string(static_cast<int32_t>(u)) + ")";
  }
  return out;
}

std::string DescribeValue(int type, const uint8_t* value, size_t length) {
  std::string out = ValueTypeName(type);
  if (length == 0) return out;
  return out + " " + ValueText(type, value, length);
}

}  // namespace orvo::settool
