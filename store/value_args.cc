#include "store/value_args.h"

namespace orvo::store {

int32_t CfInferValueLength(int32_t type_code, const void* data) {
  if (data == nullptr) return 0;
  if (type_code == CfTypeString) {
    const char* s = static_cast<const char*>(data);
    for (int32_t n = 0; n < kCfMaxValueLength; ++n) {
      if (s[n] == 0) return n + 1;
    }
    return -1;
  }
  if (type_code == CfTypeWString) {
    const CfChar* s = static_cast<const CfChar*>(data);
    for (int32_t n = 0; (n + 1) * 2 <= kCfMaxValueLength; ++n) {
      if (s[n] == 0) return (n + 1) * 2;
    }
    return -1;
  }
  return 0;
}

}  // namespace orvo::store
