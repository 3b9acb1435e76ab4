// Owners of the Win32 kernel's handles and memory (Windows build only), on
// the one owner of unique.h.
#ifndef ORVO_PLATFORM_UNIQUE_WIN32_H_
#define ORVO_PLATFORM_UNIQUE_WIN32_H_

#include <windows.h>

#include "platform/unique.h"

namespace orvo::platform {

// CreateFileW and a few others give INVALID_HANDLE_VALUE, not null, for none.
struct InvalidHandleIsNone {
  static HANDLE None() { return INVALID_HANDLE_VALUE; }
};

// For handles whose "none" is null (events, processes, threads, mutexes, tokens).
using UniqueHandle = UniqueAny<HANDLE, &CloseHandle>;
// For handles whose "none" is INVALID_HANDLE_VALUE (files).
using UniqueFileHandle = UniqueAny<HANDLE, &CloseHandle, InvalidHandleIsNone>;
// For memory that the system gives with LocalAlloc (security descriptors).
using UniqueLocalMemory = UniqueAny<HLOCAL, &LocalFree>;
using UniqueHkey = UniqueAny<HKEY, &RegCloseKey>;
using UniqueModule = UniqueAny<HMODULE, &FreeLibrary>;

}  // namespace orvo::platform

#endif  // ORVO_PLATFORM_UNIQUE_WIN32_H_
