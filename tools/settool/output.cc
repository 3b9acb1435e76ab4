#include "tools/settool/output.h"

#include <cstdarg>
#include <vector>

#include "platform/console.h"
#include "platform/utf.h"

namespace orvo::settool {

namespace {

// What a console stream has been given: the start of a UTF-8 sequence that
// the next write completes, and whether a write failed.
struct ConsoleState {
  std::FILE* stream;
  std::string pending;
  bool failed;
};

ConsoleState* StateOf(std::FILE* f) {
  static ConsoleState states[2] = {{stdout, std::string(), false}, {stderr, std::string(), false}};
  for (ConsoleState& s : states) {
    if (s.stream == f) return &s;
  }
  return nullptr;
}

// How many bytes at the end of |s| start a UTF-8 sequence that is not
// complete yet (0 to 3).
size_t CutTail(const std::string& s) {
  for (size_t back = 1; back <= 3 && back <= s.size(); ++back) {
    const unsigned char c = static_cast<unsigned char>(s[s.size() - back]);
    if ((c & 0xC0) == 0x80) continue;  // a continuation byte: look further back
    const size_t need = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 1;
    return need > back && c < 0xF8 ? back : 0;
  }
  return 0;
}

bool ToConsole(ConsoleState* s, std::FILE* f, const char* data, size_t n, bool final) {
  s->pending.append(data, n);
  const size_t keep = final ? 0 : CutTail(s->pending);
  const std::u16string text =
      platform::Utf8ToUtf16(s->pending.data(), s->pending.size() - keep, nullptr);
  s->pending.erase(0, s->pending.size() - keep);
  if (!text.empty() && !platform::WriteConsoleText(f, text.data(), text.size())) s->failed = true;
  return !s->failed;
}

}  // namespace

bool WriteOut(std::FILE* f, const char* data, size_t n) {
  ConsoleState* s = StateOf(f);
  if (s != nullptr && platform::IsConsole(f)) return ToConsole(s, f, data, n, false);
  return std::fwrite(data, 1, n, f) == n;
}

bool PrintOut(std::FILE* f, const char* format, ...) {
  char small[512];
  std::va_list args;
  va_start(args, format);
  const int n = std::vsnprintf(small, sizeof(small), format, args);
  va_end(args);
  if (n < 0) return false;
  if (static_cast<size_t>(n) < sizeof(small)) return WriteOut(f, small, static_cast<size_t>(n));
  std::vector<char> big(static_cast<size_t>(n) + 1);
  va_start(args, format);
  std::vsnprintf(big.data(), big.size(), format, args);
  va_end(args);
  return WriteOut(f, big.data(), static_cast<size_t>(n));
}

bool FlushOut(std::FILE* f) {
  ConsoleState* s = StateOf(f);
  if (s != nullptr && platform::IsConsole(f)) {
    ToConsole(s, f, nullptr, 0, true);
    return !s->failed && std::fflush(f) == 0;
  }
  return std::fflush(f) == 0 && std::ferror(f) == 0;
}

}  // namespace orvo::settool
