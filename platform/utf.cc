#include "platform/utf.h"

#include <cstdint>

namespace orvo::platform {

namespace {

constexpr char16_t kReplacement = 0xFFFD;

inline bool IsHigh(char16_t u) { return u >= 0xD800 && u <= 0xDBFF; }
inline bool IsLow(char16_t u) { return u >= 0xDC00 && u <= 0xDFFF; }

void AppendUtf8(uint32_t cp, std::string* out) {
  if (cp < 0x80) {
    out->push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out->push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out->push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out->push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

void AppendUtf16(uint32_t cp, std::u16string* out) {
  if (cp < 0x10000) {
    out->push_back(static_cast<char16_t>(cp));
  } else {
    cp -= 0x10000;
    out->push_back(static_cast<char16_t>(0xD800 | (cp >> 10)));
    out->push_back(static_cast<char16_t>(0xDC00 | (cp & 0x3FF)));
  }
}

}  // namespace

std::string Utf16ToUtf8(const char16_t* s, size_t n, LoneSurrogate lone) {
  std::string out;
  out.reserve(n);
  for (size_t i = 0; i < n; ++i) {
    const char16_t u = s[i];
    if (IsHigh(u) && i + 1 < n && IsLow(s[i + 1])) {
      AppendUtf8(0x10000 + ((static_cast<uint32_t>(u - 0xD800) << 10) | (s[i + 1] - 0xDC00)), &out);
      ++i;
    } else if ((IsHigh(u) || IsLow(u)) && lone == LoneSurrogate::kReplace) {
      AppendUtf8(kReplacement, &out);
    } else {
      AppendUtf8(u, &out);
    }
  }
  return out;
}

std::string Utf16ToUtf8(const std::u16string& s, LoneSurrogate lone) {
  return Utf16ToUtf8(s.data(), s.size(), lone);
}

std::u16string Utf8ToUtf16(const char* s, size_t n, bool* well_formed) {
  std::u16string out;
  out.reserve(n);
  bool ok = true;
  const uint8_t* p = reinterpret_cast<const uint8_t*>(s);
  size_t i = 0;
  while (i < n) {
    const uint8_t b = p[i];
    if (b < 0x80) {
      out.push_back(b);
      ++i;
      continue;
    }
    // Length of the sequence and the range allowed for its second byte.
    int extra;
    uint8_t lo = 0x80, hi = 0xBF;
    uint32_t cp;
    if (b >= 0xC2 && b <= 0xDF) {
      extra = 1;
      cp = b & 0x1F;
    } else if (b >= 0xE0 && b <= 0xEF) {
      extra = 2;
      cp = b & 0x0F;
      if (b == 0xE0) lo = 0xA0;  // no overlong forms
    } else if (b >= 0xF0 && b <= 0xF4) {
      extra = 3;
      cp = b & 0x07;
      if (b == 0xF0) lo = 0x90;  // no overlong forms
      if (b == 0xF4) hi = 0x8F;  // nothing above U+10FFFF
    } else {
      out.push_back(kReplacement);
      ok = false;
      ++i;
      continue;
    }
    size_t j = i + 1;
    bool good = true;
    for (int k = 0; k < extra; ++k, ++j) {
      const uint8_t c = j < n ? p[j] : 0;
      const uint8_t min = k == 0 ? lo : 0x80;
      const uint8_t max = k == 0 ? hi : 0xBF;
      if (j >= n || c < min || c > max) {
        good = false;
        break;
      }
      cp = (cp << 6) | (c & 0x3F);
    }
    if (!good) {
      out.push_back(kReplacement);
      ok = false;
      i = j;  // resume at the byte that broke the sequence
      continue;
    }
    AppendUtf16(cp, &out);  // a surrogate's own form gives that unit back
    i = j;
  }
  if (well_formed != nullptr) *well_formed = ok;
  return out;
}

std::u16string Utf8ToUtf16(const std::string& s, bool* well_formed) {
  return Utf8ToUtf16(s.data(), s.size(), well_formed);
}

}  // namespace orvo::platform
