// Case folding for names that compare without regard to case.
//
// Folds ASCII and Latin-1 letters to upper case; other units stay as they
// are. That covers the script language's keywords and root names and the
// names the module writes; the system's registry folds more of Unicode.
#ifndef ORVO_SERVER_REGISTRAR_FOLD_H_
#define ORVO_SERVER_REGISTRAR_FOLD_H_

#include <string>
#include <string_view>

namespace orvo::registrar {

constexpr char16_t FoldCase(char16_t c) {
  if (c >= u'a' && c <= u'z') return static_cast<char16_t>(c - 0x20);
  if (c >= 0xE0 && c <= 0xFE && c != 0xF7) return static_cast<char16_t>(c - 0x20);
  return c;
}

inline bool EqualsIgnoreCase(std::u16string_view a, std::u16string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (FoldCase(a[i]) != FoldCase(b[i])) return false;
  }
  return true;
}

inline std::u16string Folded(std::u16string_view s) {
  std::u16string out(s);
  for (char16_t& c : out) c = FoldCase(c);
  return out;
}

}  // namespace orvo::registrar

#endif  // ORVO_SERVER_REGISTRAR_FOLD_H_
