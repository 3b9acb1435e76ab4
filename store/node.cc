#include "store/node.h"

#include <cstdlib>
#include <cstring>
#include <vector>

#include "store/child_table.h"
#include "store/name.h"
#include "store/node_storage.h"

namespace orvo::store {

namespace {

size_t StringLength8(const void* p) { return std::strlen(static_cast<const char*>(p)); }

// A hint that |node| will be read soon; no effect on what the program does.
inline void PrefetchNode(const CfNode* node) {
#if defined(__GNUC__)
  __builtin_prefetch(node);
#else
  (void)node;
#endif
}

size_t StringLength16(const void* p) {
  const CfChar* s = static_cast<const CfChar*>(p);
  size_t n = 0;
  while (s[n] != 0) ++n;
  return n;
}

}  // namespace

CfNode* CreateNode(const CfChar* name, int name_limit, uint8_t flags, const void* value,
                   int value_length, int want_children) {
  int name_length = 0;
  if (name != nullptr) {
    const int limit = CfNameLimit(name_limit);
    for (; name_length < limit && !CfIsNameEnd(name[name_length]); ++name_length) {
      if (name[name_length] == u'<' || name[name_length] == u'>') return nullptr;
    }
  }

  size_t length;
  if (value_length == -1) {
    length = 0;
    if (value != nullptr) {
      if ((flags & kCfTypeMask) == CfTypeString) length = StringLength8(value) + 1;
      if ((flags & kCfTypeMask) == CfTypeWString) length = (StringLength16(value) + 1) * 2;
    }
  } else if (value_length < -1) {
    return nullptr;
  } else {
    length = static_cast<size_t>(value_length);
  }
  if (length > kCfMaxValueLength) return nullptr;
  if (length > 0 && value == nullptr) return nullptr;

  const bool branch = want_children > 0;
  CfNode* node = static_cast<CfNode*>(CfAllocatePiece(CfRecordBytes(name_length, length, branch)));
  if (node == nullptr) return nullptr;
  CfChildTable* table = nullptr;
  if (branch) {
    table = NewChildTable();
    if (table == nullptr) {
      CfReleasePiece(node);
      return nullptr;
    }
  }
  CfInitRecord(node, flags, name_length, static_cast<uint16_t>(length), table);
  if (name_length > 0) std::memcpy(CfName(node), name, name_length * sizeof(CfChar));
  if (length > 0) std::memcpy(CfValue(node), value, length);
  return node;
}

void CfInitRecord(CfNode* node, uint8_t flags, int name_length, uint16_t value_length,
                  CfChildTable* table) {
  node->flags = static_cast<uint8_t>((flags & ~(kCfKeyBound | kCfBranch)) |
                                     (table != nullptr ? kCfBranch : 0));
  node->name_length = static_cast<uint8_t>(name_length);
  node->value_length = value_length;
  if (table != nullptr) CfSetChildren(node, table);
  CfName(node)[name_length] = 0;
}

void FreeNodeRecord(CfNode* node) {
  if (node == nullptr) return;
  if (CfIsBranch(node)) DeleteChildTable(CfChildren(node));
  CfReleasePiece(node);
}

bool FreeNodeTree(CfNode* node, CfDetachHook* hook) {
  // Depth-first without recursion or extra memory: on the way down, the
  // parent's last entry holds the link to the grandparent (pointer reversal);
  // on the way up the entry is dropped. Siblings go from last to first.
  CfNode* up = nullptr;
  CfNode* cur = node;
  while (cur != nullptr) {
    if (CfIsBranch(cur) && CfChildren(cur)->count > 0) {
      CfChildTable* t = CfChildren(cur);
      CfChildEntry& e = t->entries[t->count - 1];
      CfNode* child = e.child;
      // The walk waits on memory, node after node: ask for the sibling that
      // comes after this child's subtree while the subtree is freed.
      if (t->count > 1) PrefetchNode(t->entries[t->count - 2].child);
      e.child = up;
      up = cur;
      cur = child;
      continue;
    }
    if ((cur->flags & kCfKeyBound) != 0 && hook != nullptr) hook->Detach(cur);
    FreeNodeRecord(cur);
    if (up == nullptr) break;
    cur = up;
    CfChildTable* t = CfChildren(cur);
    up = t->entries[t->count - 1].child;
    --t->count;
  }
  return true;
}

bool IsSubtreeUnprotected(const CfNode* node) {
  struct Frame {
    const CfNode* node;
    int32_t next;
  };
  try {
    std::vector<Frame> stack;
    stack.push_back({node, 0});
    while (!stack.empty()) {
      Frame& f = stack.back();
      if (f.next < CfChildCount(f.node)) {
        const CfNode* child = CfChildren(f.node)->entries[f.next++].child;
        stack.push_back({child, 0});
        continue;
      }
      if ((f.node->flags & kCfProtected) != 0) return false;
      stack.pop_back();
    }
    return true;
  } catch (...) {
    return false;  // cannot prove it unprotected: treat as protected
  }
}

}  // namespace orvo::store
