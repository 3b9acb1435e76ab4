#include "store/name.h"

namespace {

inline CfChar FoldAscii(CfChar u) {
  CfChar lower = static_cast<CfChar>(u | 0x20);
  return (lower >= u'a' && lower <= u'z') ? lower : u;
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
