// HRESULT helpers used throughout the module.
#ifndef ORVO_SERVER_HRESULT_H_
#define ORVO_SERVER_HRESULT_H_

#include <windows.h>

#include <new>

namespace orvo::server {

// A system error code as an HRESULT: 0 and negative codes are taken as they
// are; a positive code e becomes (e & 0xFFFF) | 0x80070000.
constexpr HRESULT HResultFromSystemError(DWORD error) {
  return static_cast<HRESULT>(error) <= 0 ? static_cast<HRESULT>(error)
                                          : static_cast<HRESULT>((error & 0xFFFF) | 0x80070000);
}

// The calling thread's last error as an HRESULT; E_FAIL when there is none,
// so that a failed call is never reported as success.
inline HRESULT HResultFromLastError() {
  const HRESULT hr = HResultFromSystemError(GetLastError());
  return FAILED(hr) ? hr : E_FAIL;
}

// Runs |body| (returning an HRESULT) so that no C++ exception leaves it:
// allocation failures give E_OUTOFMEMORY, anything else E_FAIL.
template <typename Body>
HRESULT CallNoThrow(Body&& body) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  } catch (...) {
    return E_FAIL;
  }
}

}  // namespace orvo::server

// Returns the HRESULT of |expr| from the enclosing function when it failed.
#define ORVO_RETURN_IF_FAILED(expr)        \
  do {                                     \
    const HRESULT orvo_hr_ = (expr);       \
    if (FAILED(orvo_hr_)) return orvo_hr_; \
  } while (0)

#endif  // ORVO_SERVER_HRESULT_H_
