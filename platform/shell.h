// The few shell and window-system services the install operations use.
#ifndef ORVO_PLATFORM_SHELL_H_
#define ORVO_PLATFORM_SHELL_H_

#include <cstdint>

namespace orvo::platform {

constexpr int kMaxPath = 260;

// Writes the machine-wide application-data folder into |buffer| (kMaxPath
// units, NUL-terminated). Windows: the shell folder CSIDL_COMMON_APPDATA.
// Natively: $ORVO_COMMON_APPDATA, else "/var/lib". False when it cannot be
// had; |buffer| is then left as it was.
bool CommonAppDataFolder(char16_t* buffer);

// Posts the registered window message named |name| to every top-level
// window, without waiting. Natively there are no windows: the call is only
// counted, for tests. Returns the message number (0 when none).
uint32_t BroadcastMessage(const char16_t* name);

// Number of BroadcastMessage calls so far in this process.
uint64_t BroadcastCount();

}  // namespace orvo::platform

#endif  // ORVO_PLATFORM_SHELL_H_
