// The in-memory node tree of a configuration file: making and freeing its
// records (their layout is node_record.h's).
//
// Nothing here locks: callers hold the owning file object's lock, except the
// file reader, which builds a tree before anyone else can reach it.
#ifndef ORVO_STORE_NODE_H_
#define ORVO_STORE_NODE_H_

#include <cstddef>
#include <cstdint>

#include "store/node_record.h"

namespace orvo::store {

// Makes a node. |name| may be null (empty name); |name_limit| is the most
// units to take, negative or above 255 meaning 255; the name also ends at NUL,
// backslash or slash. |value_length| -1 infers the length from the type code
// (2: 8-bit string + NUL, 3: UTF-16 string + NUL, else 0). |want_children| > 0
// makes a branch with an empty child table. Bit 3 of |flags| is cleared and
// bit 2 follows |want_children|.
// Returns nullptr when the name holds '<' or '>', when |value_length| is below
// -1 or above 65535, or when memory runs out.
CfNode* CreateNode(const CfChar* name, int name_limit, uint8_t flags, const void* value,
                   int value_length, int want_children);

// Writes the fixed fields of a record at |node|: |flags| with bit 3 cleared
// and bit 2 set exactly when |table| is not null, the lengths, the child
// table pointer, and the name's NUL. The caller fills in the name and value.
// REQUIRES: |node| has CfRecordBytes(name_length, value_length, table != nullptr) bytes.
void CfInitRecord(CfNode* node, uint8_t flags, int name_length, uint16_t value_length,
                  CfChildTable* table);

}  // namespace orvo::store

// Called once for every key-bound node while its subtree is freed, before its
// memory goes, so the owner can detach the key object that stands for it.
class CfDetachHook {
 public:
  virtual void Detach(CfNode* node) = 0;

 protected:
  ~CfDetachHook() = default;
};

namespace orvo::store {

// Frees |node|, its child table and its whole subtree, without recursion.
// Key-bound nodes are reported to |hook| (may be null). Returns true.
bool FreeNodeTree(CfNode* node, CfDetachHook* hook);

// Frees one record and its child table storage, but not the children (they
// have moved to a replacement record).
void FreeNodeRecord(CfNode* node);

// True when neither |node| nor any node below it has the protected bit.
bool IsSubtreeUnprotected(const CfNode* node);

}  // namespace orvo::store

#endif  // ORVO_STORE_NODE_H_
