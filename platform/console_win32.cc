#include <io.h>
#include <windows.h>

#include "platform/console.h"

namespace orvo::platform {

namespace {

HANDLE HandleOf(std::FILE* stream) {
  const int fd = _fileno(stream);
  return fd < 0 ? INVALID_HANDLE_VALUE : reinterpret_cast<HANDLE>(_get_osfhandle(fd));
}

}  // namespace

bool IsConsole(std::FILE* stream) {
  const HANDLE h = HandleOf(stream);
  DWORD mode = 0;
  return h != INVALID_HANDLE_VALUE && h != nullptr && GetConsoleMode(h, &mode) != 0;
}

bool WriteConsoleText(std::FILE* stream, const char16_t* text, size_t n) {
  if (std::fflush(stream) != 0) return false;
  const HANDLE h = HandleOf(stream);
  // In pieces, never between the two units of a surrogate pair.
  constexpr size_t kPiece = 8192;
  while (n > 0) {
    size_t piece = n < kPiece ? n : kPiece;
    if (piece < n && text[piece - 1] >= 0xD800 && text[piece - 1] <= 0xDBFF) --piece;
    DWORD written = 0;
    if (!WriteConsoleW(h, text, static_cast<DWORD>(piece), &written, nullptr) || written == 0) {
      return false;
    }
    text += written;
    n -= written;
  }
  return true;
}

}  // namespace orvo::platform
