// The portable result codes are the platform's: checked once here, in the
// Windows build.
#include <windows.h>

#include <type_traits>

#include "platform/result.h"

namespace orvo {

static_assert(std::is_same_v<Result, HRESULT>, "Result is the platform's HRESULT");
static_assert(Succeeded(S_FALSE) && Failed(E_FAIL) && SUCCEEDED(kResultFalse) &&
              FAILED(kResultFail));

static_assert(kResultOk == S_OK);
static_assert(kResultFalse == S_FALSE);
static_assert(kResultFail == E_FAIL);
static_assert(kResultOutOfMemory == E_OUTOFMEMORY);
static_assert(kResultInvalidArg == E_INVALIDARG);
static_assert(kResultAccessDenied == E_ACCESSDENIED);
static_assert(kResultNotFound == HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
static_assert(kResultTypeMismatch == HRESULT_FROM_WIN32(ERROR_DATATYPE_MISMATCH));
static_assert(kResultException == DISP_E_EXCEPTION);

static_assert(kErrorFileNotFound == ERROR_FILE_NOT_FOUND);
static_assert(kErrorPathNotFound == ERROR_PATH_NOT_FOUND);
static_assert(kErrorSharingViolation == ERROR_SHARING_VIOLATION);
static_assert(kErrorCannotMake == ERROR_CANNOT_MAKE);
static_assert(kErrorDiskFull == ERROR_DISK_FULL);
static_assert(kErrorRevisionMismatch == ERROR_REVISION_MISMATCH);
static_assert(kErrorTimeout == ERROR_TIMEOUT);
static_assert(kErrorDatatypeMismatch == ERROR_DATATYPE_MISMATCH);

// The conversion is the platform's HRESULT_FROM_WIN32.
static_assert(ResultFromSystemError(ERROR_SUCCESS) == S_OK);
static_assert(ResultFromSystemError(ERROR_ACCESS_DENIED) == E_ACCESSDENIED);
static_assert(ResultFromSystemError(ERROR_TIMEOUT) == HRESULT_FROM_WIN32(ERROR_TIMEOUT));
static_assert(ResultFromSystemError(static_cast<DWORD>(E_FAIL)) == E_FAIL);

}  // namespace orvo
