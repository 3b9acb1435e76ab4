// Checks and defaults shared by the key operations that store a value.
#ifndef ORVO_STORE_VALUE_ARGS_H_
#define ORVO_STORE_VALUE_ARGS_H_

#include <cstdint>

#include "store/node_record.h"

namespace orvo::store {

// True for a type argument the store accepts: a type code 0-3, optionally
// with attribute bits 4-7. Bit 2 (branch) and bit 3 (key-bound) belong to
// the store, and nothing above bit 7 fits the flags byte.
inline bool CfTypeArgumentValid(int32_t type) {
  return (type & ~(kCfTypeMask | kCfAttributeMask)) == 0;
}

// True for a value length argument: -1 (inferred) or 0 to 65535.
inline bool CfLengthArgumentValid(int32_t length) {
  return length >= -1 && length <= kCfMaxValueLength;
}

// The length of a value given as -1: an 8-bit string and its NUL for type
// code 2, a UTF-16 string and its 2-byte NUL for type code 3, else (and for
// null data) 0. Returns -1 when the text does not fit 65535 bytes; scans no
// further than that.
int32_t CfInferValueLength(int32_t type_code, const void* data);

}  // namespace orvo::store

#endif  // ORVO_STORE_VALUE_ARGS_H_
