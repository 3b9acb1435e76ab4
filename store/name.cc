#include "store/name.h"

namespace orvo::store {

namespace {

// ASCII letters to lower case, other units unchanged. Computed without a
// branch: names mix letters and digits, and a jump on each would be
// mispredicted at every change between them.
inline uint32_t FoldAscii(CfChar u) {
  const uint32_t letter = static_cast<uint32_t>((u | 0x20) - u'a') < 26u ? 1u : 0u;
  return static_cast<uint32_t>(u) | (letter << 5);
}

}  // namespace

uint32_t CfNameHash(const CfChar* name, int limit, int* covered) {
  limit = CfNameLimit(limit);
  uint32_t h = 0;
  int i = 0;
  if (name != nullptr) {
    for (; i < limit && !CfIsNameEnd(name[i]); ++i) {
      uint32_t s = h + FoldAscii(name[i]);
      h = (s << 1) | ((s >> 16) & 1);
    }
  }
  if (covered != nullptr) *covered = i;
  return h;
}

bool CfNamesMatch(const CfChar* a, int a_length, const CfChar* b, int b_length) {
  if (a_length != b_length) return false;
  for (int i = 0; i < a_length; ++i) {
    if (a[i] != b[i] && FoldAscii(a[i]) != FoldAscii(b[i])) return false;
  }
  return true;
}

}  // namespace orvo::store
