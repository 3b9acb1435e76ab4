// The in-memory node tree of a configuration file.
//
// A CfNode is one variable-length record, stored in one piece (see
// node_storage.h):
//   flags (1) | name length (1) | value length (2) | [child table pointer]
//   | name (UTF-16, name length units) | NUL (1 unit) | value bytes
// The child table pointer exists only in a branch record (kCfBranch set).
//
// Nothing here locks: callers hold the owning file object's lock, except the
// file reader, which builds a tree before anyone else can reach it.
#ifndef ORVO_STORE_NODE_H_
#define ORVO_STORE_NODE_H_

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

// Bytes of a record with |name_length| name units and |value_length| value
// bytes, in the branch shape or the leaf shape.
inline size_t CfRecordBytes(int name_length, size_t value_length, bool branch) {
  return (branch ? kCfBranchNameOffset : kCfLeafNameOffset) +
         (static_cast<size_t>(name_length) + 1) * sizeof(CfChar) + value_length;
}

// Writes the fixed fields of a record at |node|: |flags| with bit 3 cleared
// and bit 2 set exactly when |table| is not null, the lengths, the child
// table pointer, and the name's NUL. The caller fills in the name and value.
// REQUIRES: |node| has CfRecordBytes(name_length, value_length, table != nullptr) bytes.
void CfInitRecord(CfNode* node, uint8_t flags, int name_length, uint16_t value_length,
                  CfChildTable* table);

// Called once for every key-bound node while its subtree is freed, before its
// memory goes, so the owner can detach the key object that stands for it.
class CfDetachHook {
 public:
  virtual void Detach(CfNode* node) = 0;

 protected:
  ~CfDetachHook() = default;
};

// Frees |node|, its child table and its whole subtree, without recursion.
// Key-bound nodes are reported to |hook| (may be null). Returns true.
bool FreeNodeTree(CfNode* node, CfDetachHook* hook);

// Frees one record and its child table storage, but not the children (they
// have moved to a replacement record).
void FreeNodeRecord(CfNode* node);

// True when neither |node| nor any node below it has the protected bit.
bool IsSubtreeUnprotected(const CfNode* node);

#endif  // ORVO_STORE_NODE_H_
