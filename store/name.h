// Names of nodes: at most 255 UTF-16 units, ending at NUL, backslash or slash,
// compared without regard to the case of ASCII letters.
#ifndef ORVO_STORE_NAME_H_
#define ORVO_STORE_NAME_H_

#include <cstdint>

#include "store/node_record.h"

namespace orvo::store {

inline bool CfIsNameEnd(CfChar c) { return c == 0 || c == u'\\' || c == u'/'; }

// Clamps a name limit: negative or above 255 gives 255.
inline int CfNameLimit(int limit) {
  return (limit < 0 || limit > kCfMaxNameLength) ? kCfMaxNameLength : limit;
}

// Hash of the first path component of |name| (at most |limit| units, see
// CfNameLimit); *covered receives the number of units hashed. The hash is the
// child id of a named child. A null or empty name hashes to 0.
uint32_t CfNameHash(const CfChar* name, int limit, int* covered);

// True when the two names have the same length and equal units, ASCII letters
// compared without case.
bool CfNamesMatch(const CfChar* a, int a_length, const CfChar* b, int b_length);

}  // namespace orvo::store

#endif  // ORVO_STORE_NAME_H_
