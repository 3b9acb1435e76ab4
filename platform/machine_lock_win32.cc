#include <objbase.h>
#include <sddl.h>
#include <windows.h>

#include "platform/file_failure.h"
#include "platform/machine_lock.h"
#include "platform/unique_win32.h"

namespace orvo::platform {

namespace {

// Everyone: wait on the mutex and release it (SYNCHRONIZE | MUTEX_MODIFY_STATE),
// nothing more; SYSTEM and the administrators: everything. Without it the
// mutex gets the creator's default descriptor, which an elevated installer's
// token limits to administrators, and a standard user's installer could
// neither create nor open it.
constexpr wchar_t kMutexSecurity[] = L"D:(A;;0x00100001;;;WD)(A;;GA;;;SY)(A;;GA;;;BA)";

// Waits for |h|; in a single-threaded apartment the wait pumps messages and
// lets COM dispatch calls meanwhile. Returns WAIT_OBJECT_0, WAIT_ABANDONED,
// WAIT_TIMEOUT or WAIT_FAILED.
DWORD WaitKeepingApartmentResponsive(HANDLE h, DWORD timeout_ms) {
  DWORD index = 0;
  const HRESULT hr = CoWaitForMultipleHandles(0, timeout_ms, 1, &h, &index);
  if (hr == S_OK) return index == WAIT_ABANDONED_0 ? WAIT_ABANDONED : WAIT_OBJECT_0;
  if (hr == RPC_S_CALLPENDING) return WAIT_TIMEOUT;
  if (hr == CO_E_NOTINITIALIZED) return WaitForSingleObject(h, timeout_ms);  // no apartment
  return WAIT_FAILED;
}

}  // namespace

MachineLock::MachineLock(const char16_t* mutex_name, const char16_t*, uint32_t timeout_ms) {
  if (mutex_name == nullptr || *mutex_name == 0) {
    SetLastFileFailure(FileFailure::kOther);
    return;
  }
  const wchar_t* name = reinterpret_cast<const wchar_t*>(mutex_name);
  UniqueLocalMemory descriptor;  // made by the SDDL conversion
  SECURITY_ATTRIBUTES attributes = {sizeof(attributes), nullptr, FALSE};
  if (ConvertStringSecurityDescriptorToSecurityDescriptorW(kMutexSecurity, SDDL_REVISION_1,
                                                           descriptor.put(), nullptr)) {
    attributes.lpSecurityDescriptor = descriptor.get();
  }
  HANDLE h =
      CreateMutexW(attributes.lpSecurityDescriptor != nullptr ? &attributes : nullptr, FALSE, name);
  // Made by another account: open it for waiting and releasing only.
  if (h == nullptr) h = OpenMutexW(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, name);
  if (h == nullptr) {
    SetLastFileFailure(GetLastError() == ERROR_ACCESS_DENIED ? FileFailure::kAccessDenied
                                                             : FileFailure::kOther);
    return;
  }
  handle_ = h;
  const DWORD wait = WaitKeepingApartmentResponsive(h, timeout_ms);
  held_ = wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED;
  timed_out_ = wait == WAIT_TIMEOUT;
  if (!held_ && !timed_out_) SetLastFileFailure(FileFailure::kOther);
}

MachineLock::~MachineLock() {
  if (handle_ == nullptr) return;
  if (held_) ReleaseMutex(static_cast<HANDLE>(handle_));
  CloseHandle(static_cast<HANDLE>(handle_));
}

}  // namespace orvo::platform
