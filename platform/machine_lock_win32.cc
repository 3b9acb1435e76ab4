#include <windows.h>

#include "platform/machine_lock.h"

namespace orvo::platform {

MachineLock::MachineLock(const char16_t* mutex_name, const char16_t*, uint32_t timeout_ms) {
  if (mutex_name == nullptr || *mutex_name == 0) return;
  const wchar_t* name = reinterpret_cast<const wchar_t*>(mutex_name);
  HANDLE h = CreateMutexW(nullptr, FALSE, name);
  // Made by another account with a narrower access list: open it for waiting.
  if (h == nullptr) h = OpenMutexW(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, name);
  if (h == nullptr) return;
  handle_ = h;
  const DWORD wait = WaitForSingleObject(h, timeout_ms);
  held_ = wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED;
}

MachineLock::~MachineLock() {
  if (handle_ == nullptr) return;
  if (held_) ReleaseMutex(static_cast<HANDLE>(handle_));
  CloseHandle(static_cast<HANDLE>(handle_));
}

}  // namespace orvo::platform
