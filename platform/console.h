// Text to a console window. On Windows a console takes UTF-16 text whatever
// its code page (WriteConsoleW); bytes written to it are read in its code
// page instead. Natively there is no such console: a terminal takes bytes.
#ifndef ORVO_PLATFORM_CONSOLE_H_
#define ORVO_PLATFORM_CONSOLE_H_

#include <cstddef>
#include <cstdio>

namespace orvo::platform {

// Whether |stream| writes to a Windows console (not a file, pipe or device).
// Always false natively.
bool IsConsole(std::FILE* stream);

// Writes |n| UTF-16 units to the console of |stream|, after what |stream|
// holds buffered. False when the console takes less than all of them.
// REQUIRES: IsConsole(stream).
bool WriteConsoleText(std::FILE* stream, const char16_t* text, size_t n);

}  // namespace orvo::platform

#endif  // ORVO_PLATFORM_CONSOLE_H_
