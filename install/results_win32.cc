// The install operations' results are the platform's codes: checked once
// here, in the Windows build.
#include <windows.h>

#include "install/operations.h"

namespace orvo::install {

static_assert(kResultOk == S_OK);
static_assert(kResultInvalidArg == E_INVALIDARG);
static_assert(kResultAccessDenied == E_ACCESSDENIED);
static_assert(kResultFail == E_FAIL);
static_assert(kResultDiskFull == HRESULT_FROM_WIN32(ERROR_DISK_FULL));
static_assert(kResultSharingViolation == HRESULT_FROM_WIN32(ERROR_SHARING_VIOLATION));
static_assert(kResultTimeout == HRESULT_FROM_WIN32(ERROR_TIMEOUT));
static_assert(kResultNewerFormat == HRESULT_FROM_WIN32(ERROR_REVISION_MISMATCH));
static_assert(kResultNameInTheWay == HRESULT_FROM_WIN32(ERROR_CANNOT_MAKE));
static_assert(kResultNoFolder == HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND));
// The operations' own successes are neither S_OK nor S_FALSE, and differ from
// the error code 1 of a missing argument.
static_assert(SUCCEEDED(kResultDuplicate) && kResultDuplicate != S_FALSE);
static_assert(SUCCEEDED(kResultNothingToRemove) && kResultNothingToRemove != S_FALSE &&
              kResultNothingToRemove != kResultDuplicate);

}  // namespace orvo::install
