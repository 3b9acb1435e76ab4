// HRESULT helpers of the Windows side; the codes, the conversion from system
// errors, CallNoThrow and ORVO_RETURN_IF_FAILED are in platform/result.h.
#ifndef ORVO_SERVER_HRESULT_H_
#define ORVO_SERVER_HRESULT_H_

#include <windows.h>

#include "platform/result.h"

namespace orvo::server {

// The calling thread's last error as an HRESULT; E_FAIL when there is none,
// so that a failed call is never reported as success.
inline HRESULT HResultFromLastError() {
  const HRESULT hr = ResultFromSystemError(GetLastError());
  return FAILED(hr) ? hr : E_FAIL;
}

}  // namespace orvo::server

#endif  // ORVO_SERVER_HRESULT_H_
