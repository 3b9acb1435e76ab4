// settool's output. Text is UTF-8: written as it is to files and pipes, and
// as UTF-16 to a Windows console (platform/console.h), where bytes would be
// read in the console's code page. A sequence cut between two writes is
// joined before it reaches the console.
#ifndef ORVO_TOOLS_SETTOOL_OUTPUT_H_
#define ORVO_TOOLS_SETTOOL_OUTPUT_H_

#include <cstddef>
#include <cstdio>
#include <string>

#if defined(__MINGW32__)
#define SETTOOL_PRINTF(f, a) __attribute__((format(gnu_printf, f, a)))
#else
#define SETTOOL_PRINTF(f, a) __attribute__((format(printf, f, a)))
#endif

namespace orvo::settool {

// Writes |n| bytes to |f|. False when they cannot all be written (to a
// console: when it refuses them).
bool WriteOut(std::FILE* f, const char* data, size_t n);
inline bool WriteOut(std::FILE* f, const std::string& s) { return WriteOut(f, s.data(), s.size()); }

// printf to |f| through WriteOut. False when the text cannot be written.
bool PrintOut(std::FILE* f, const char* format, ...) SETTOOL_PRINTF(2, 3);

// Writes out what |f| holds (to a console: a cut sequence at the end, as
// U+FFFD). False when that fails or any write to |f| has failed so far.
bool FlushOut(std::FILE* f);

}  // namespace orvo::settool

#endif  // ORVO_TOOLS_SETTOOL_OUTPUT_H_
