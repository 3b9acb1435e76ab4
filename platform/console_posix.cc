#include "platform/console.h"

namespace orvo::platform {

bool IsConsole(std::FILE*) { return false; }

bool WriteConsoleText(std::FILE*, const char16_t*, size_t) { return false; }

}  // namespace orvo::platform
