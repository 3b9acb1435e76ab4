// Result codes of the registrar: HRESULT values as 32-bit integers, so that
// the portable code needs no platform header.
#ifndef ORVO_SERVER_REGISTRAR_RESULT_H_
#define ORVO_SERVER_REGISTRAR_RESULT_H_

#include <cstdint>

namespace orvo::registrar {

constexpr int32_t kSOk = 0;
constexpr int32_t kSFalse = 1;
constexpr int32_t kEFail = static_cast<int32_t>(0x80004005);
constexpr int32_t kEOutOfMemory = static_cast<int32_t>(0x8007000E);
constexpr int32_t kEInvalidArg = static_cast<int32_t>(0x80070057);
// A key or value that does not exist (the system's "file not found").
constexpr int32_t kENotFound = static_cast<int32_t>(0x80070002);
// A value that is not a string.
constexpr int32_t kETypeMismatch = static_cast<int32_t>(0x8007065D);
// A script that cannot be run: malformed, or naming an unknown replacement.
constexpr int32_t kEScript = static_cast<int32_t>(0x80020009);

constexpr bool Succeeded(int32_t result) { return result >= 0; }
constexpr bool Failed(int32_t result) { return result < 0; }

// A system error code as a result: 0 and negative codes are taken as they
// are; a positive code e becomes (e & 0xFFFF) | 0x80070000.
constexpr int32_t ResultFromSystemError(uint32_t error) {
  return static_cast<int32_t>(error) <= 0 ? static_cast<int32_t>(error)
                                          : static_cast<int32_t>((error & 0xFFFF) | 0x80070000);
}

}  // namespace orvo::registrar

// Returns the result of |expr| from the enclosing function when it failed.
#define ORVO_REGISTRAR_RETURN_IF_FAILED(expr)                                             \
  do {                                                                                    \
    const int32_t orvo_registrar_result_ = (expr);                                        \
    if (::orvo::registrar::Failed(orvo_registrar_result_)) return orvo_registrar_result_; \
  } while (0)

#endif  // ORVO_SERVER_REGISTRAR_RESULT_H_
