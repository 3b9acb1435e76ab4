// The result codes of the module: HRESULT values, spelled so that portable
// code needs no platform header. The install operations, the registrar and
// the server all speak them; result_win32.cc ties each one to the platform's
// own constant in the Windows build.
#ifndef ORVO_PLATFORM_RESULT_H_
#define ORVO_PLATFORM_RESULT_H_

#include <cstdint>
#include <new>
#include <type_traits>

namespace orvo {

// An HRESULT. In the Windows build this is the platform's HRESULT type
// itself (a 32-bit long), so results pass between the layers unconverted.
#ifdef _WIN32
using Result = long;
#else
using Result = int32_t;
#endif
static_assert(sizeof(Result) == 4, "an HRESULT has 32 bits");

constexpr bool Succeeded(Result result) { return result >= 0; }
constexpr bool Failed(Result result) { return result < 0; }

// A system error code as a result: 0 and negative codes are taken as they
// are; a positive code e becomes (e & 0xFFFF) | 0x80070000.
constexpr Result ResultFromSystemError(uint32_t error) {
  return static_cast<int32_t>(error) <= 0
             ? static_cast<Result>(static_cast<int32_t>(error))
             : static_cast<Result>(static_cast<int32_t>((error & 0xFFFF) | 0x80070000));
}

// The system error codes that the results below are made of.
constexpr uint32_t kErrorFileNotFound = 2;          // ERROR_FILE_NOT_FOUND
constexpr uint32_t kErrorPathNotFound = 3;          // ERROR_PATH_NOT_FOUND
constexpr uint32_t kErrorSharingViolation = 0x20;   // ERROR_SHARING_VIOLATION
constexpr uint32_t kErrorCannotMake = 0x52;         // ERROR_CANNOT_MAKE
constexpr uint32_t kErrorDiskFull = 0x70;           // ERROR_DISK_FULL
constexpr uint32_t kErrorRevisionMismatch = 0x51A;  // ERROR_REVISION_MISMATCH
constexpr uint32_t kErrorTimeout = 0x5B4;           // ERROR_TIMEOUT
constexpr uint32_t kErrorDatatypeMismatch = 0x65D;  // ERROR_DATATYPE_MISMATCH

constexpr Result kResultOk = 0;                                                        // S_OK
constexpr Result kResultFalse = 1;                                                     // S_FALSE
constexpr Result kResultFail = static_cast<Result>(static_cast<int32_t>(0x80004005));  // E_FAIL
constexpr Result kResultOutOfMemory =
    static_cast<Result>(static_cast<int32_t>(0x8007000E));  // E_OUTOFMEMORY
constexpr Result kResultInvalidArg =
    static_cast<Result>(static_cast<int32_t>(0x80070057));  // E_INVALIDARG
constexpr Result kResultAccessDenied =
    static_cast<Result>(static_cast<int32_t>(0x80070005));  // E_ACCESSDENIED
// A file, key or value that does not exist.
constexpr Result kResultNotFound = ResultFromSystemError(kErrorFileNotFound);
// A value of another type than the one asked for.
constexpr Result kResultTypeMismatch = ResultFromSystemError(kErrorDatatypeMismatch);
// DISP_E_EXCEPTION: what an automation caller sees of a failed call; the
// registrar gives it for a script that cannot be run.
constexpr Result kResultException = static_cast<Result>(static_cast<int32_t>(0x80020009));

// Passes |result| on; refuses at compile time anything that is not a Result
// (a bool, an unsigned system error code, and in the Windows build also an
// int), so that ORVO_RETURN_IF_FAILED never takes a value of another kind for
// an HRESULT.
template <typename T>
constexpr Result VerifyResult(T result) {
  static_assert(std::is_same_v<T, Result>, "an HRESULT (orvo::Result) is expected here");
  return result;
}

// Runs |body| (returning a Result) so that no C++ exception leaves it:
// allocation failures give kResultOutOfMemory, anything else kResultFail.
template <typename Body>
Result CallNoThrow(Body&& body) noexcept {
  try {
    return VerifyResult(body());
  } catch (const std::bad_alloc&) {
    return kResultOutOfMemory;
  } catch (...) {
    return kResultFail;
  }
}

}  // namespace orvo

// Returns the result of |expr| (an HRESULT) from the enclosing function when
// it failed.
#define ORVO_RETURN_IF_FAILED(expr)                                 \
  do {                                                              \
    const ::orvo::Result orvo_result_ = ::orvo::VerifyResult(expr); \
    if (::orvo::Failed(orvo_result_)) return orvo_result_;          \
  } while (0)

#endif  // ORVO_PLATFORM_RESULT_H_
