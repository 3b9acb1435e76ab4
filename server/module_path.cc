#include "server/module_path.h"

#include "server/hresult.h"

namespace orvo::server {

HRESULT GetModulePath(HMODULE module, std::wstring* path) {
  // Long paths can exceed MAX_PATH; the buffer grows until the path fits.
  for (DWORD size = MAX_PATH;; size *= 2) {
    path->resize(size);
    SetLastError(ERROR_SUCCESS);
    const DWORD length = GetModuleFileNameW(module, path->data(), size);
    if (length == 0) return HResultFromLastError();
    if (length < size && GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
      path->resize(length);
      return S_OK;
    }
    if (size >= 0x8000) return ResultFromSystemError(ERROR_FILENAME_EXCED_RANGE);
  }
}

}  // namespace orvo::server
