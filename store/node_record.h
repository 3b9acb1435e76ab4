// The layout of a node record and of its child table: the types and the
// accessors that every part of the store shares. Making and freeing nodes is
// node.h's; the rules of child tables are child_table.h's.
//
// A CfNode is one variable-length record, stored in one piece (see
// node_storage.h):
//   flags (1) | name length (1) | value length (2) | [child table pointer]
//   | name (UTF-16, name length units) | NUL (1 unit) | value bytes
// The child table pointer exists only in a branch record (kCfBranch set).
#ifndef ORVO_STORE_NODE_RECORD_H_
#define ORVO_STORE_NODE_RECORD_H_

#include <cstddef>
#include <cstdint>

typedef char16_t CfChar;

// Flags byte.
enum : uint8_t {
  kCfTypeMask = 0x03,       // value type code
  kCfBranch = 0x04,         // the record has a child table
  kCfKeyBound = 0x08,       // a live key object represents this node
  kCfProtected = 0x10,      // value, name and existence are frozen
  kCfAttributeMask = 0xF0,  // the attribute nibble (protected bit included)
};

// Value type codes (flags bits 0-1).
enum : int32_t {
  CfTypeNone = 0,
  CfTypeBinary = 1,
  CfTypeString = 2,
  CfTypeWString = 3,
};

constexpr int kCfMaxNameLength = 255;
constexpr int kCfMaxValueLength = 65535;

struct CfNode;

struct CfChildEntry {
  uint32_t id;
  CfNode* child;
};

// Invariant: when |sorted|, entries[0..count) are sorted by id (unsigned);
// equal ids keep their insertion order unless an insertion asked to go first.
// A table read from a file keeps the file's order, which need not be sorted:
// it is then not |sorted| (see child_table.h for how it is searched).
// Invariant: |order| is null, or (only when not |sorted|) holds the positions
// 0..count-1 ordered by entry id and, for equal ids, by position.
struct CfChildTable {
  int32_t capacity;
  int32_t count;
  CfChildEntry* entries;
  int32_t* order;
  bool sorted;
};

struct CfNode {
  uint8_t flags;
  uint8_t name_length;
  uint16_t value_length;
  // The rest of the record follows; reach it through the accessors below.
};
static_assert(sizeof(CfNode) == 4, "CfNode fixed fields are 4 bytes");

// Offset of the child table pointer, and of the name in each shape.
constexpr size_t kCfTableOffset = alignof(CfChildTable*) > 4 ? alignof(CfChildTable*) : 4;
constexpr size_t kCfLeafNameOffset = 4;
constexpr size_t kCfBranchNameOffset = kCfTableOffset + sizeof(CfChildTable*);

namespace orvo::store {

inline bool CfIsBranch(const CfNode* n) { return (n->flags & kCfBranch) != 0; }
inline int CfType(const CfNode* n) { return n->flags & kCfTypeMask; }

// REQUIRES: CfIsBranch(n).
inline CfChildTable* CfChildren(const CfNode* n) {
  CfChildTable* t;
  __builtin_memcpy(&t, reinterpret_cast<const char*>(n) + kCfTableOffset, sizeof(t));
  return t;
}
inline void CfSetChildren(CfNode* n, CfChildTable* t) {
  __builtin_memcpy(reinterpret_cast<char*>(n) + kCfTableOffset, &t, sizeof(t));
}
// The name, followed by one NUL unit.
inline CfChar* CfName(CfNode* n) {
  return reinterpret_cast<CfChar*>(reinterpret_cast<char*>(n) +
                                   (CfIsBranch(n) ? kCfBranchNameOffset : kCfLeafNameOffset));
}
inline const CfChar* CfName(const CfNode* n) { return CfName(const_cast<CfNode*>(n)); }
// The value bytes, right after the name's NUL.
inline uint8_t* CfValue(CfNode* n) {
  return reinterpret_cast<uint8_t*>(CfName(n) + n->name_length + 1);
}
inline const uint8_t* CfValue(const CfNode* n) { return CfValue(const_cast<CfNode*>(n)); }
// Number of entries in a node's child table; 0 for a leaf.
inline int32_t CfChildCount(const CfNode* n) { return CfIsBranch(n) ? CfChildren(n)->count : 0; }

// Bytes of a record with |name_length| name units and |value_length| value
// bytes, in the branch shape or the leaf shape.
inline size_t CfRecordBytes(int name_length, size_t value_length, bool branch) {
  return (branch ? kCfBranchNameOffset : kCfLeafNameOffset) +
         (static_cast<size_t>(name_length) + 1) * sizeof(CfChar) + value_length;
}

}  // namespace orvo::store

#endif  // ORVO_STORE_NODE_RECORD_H_
