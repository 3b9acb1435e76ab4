// Key objects: creating, renaming and deleting keys.
#include "store/child_table.h"
#include "store/key.h"
#include "store/name.h"
#include "store/value_args.h"

using orvo::platform::LockGuard;

using orvo::store::CfChildCount;
using orvo::store::CfChildren;
using orvo::store::CfInferValueLength;
using orvo::store::CfIsBranch;
using orvo::store::CfIsNameEnd;
using orvo::store::CfLengthArgumentValid;
using orvo::store::CfName;
using orvo::store::CfNameHash;
using orvo::store::CfTypeArgumentValid;
using orvo::store::CfValue;
using orvo::store::CreateNode;
using orvo::store::FindChildByName;
using orvo::store::FreeNodeRecord;
using orvo::store::InsertChild;
using orvo::store::IsSubtreeUnprotected;
using orvo::store::RemoveChildAt;

namespace {

// Writes |n| (0 to 999) in decimal without leading zeros; returns the units
// written.
int FormatDecimal(int n, CfChar* out) {
  CfChar digits[3];
  int count = 0;
  do {
    digits[count++] = static_cast<CfChar>(u'0' + n % 10);
    n /= 10;
  } while (n > 0 && count < 3);
  for (int i = 0; i < count; ++i) out[i] = digits[count - 1 - i];
  return count;
}

// The checked arguments of a value to store, with a length of -1 resolved
// from the type code (low two bits). False when they are refused.
bool ResolveValueArgs(int32_t type, const void* data, int32_t* length) {
  if (!CfTypeArgumentValid(type) || !CfLengthArgumentValid(*length)) return false;
  if (*length == -1) {
    *length = CfInferValueLength(type & kCfTypeMask, data);
    if (*length < 0) return false;
  }
  return *length == 0 || data != nullptr;
}

}  // namespace

int32_t CCfKeyInterface::AddChildNode(CfNode* node, uint32_t id, bool before) {
  const uint32_t child_id = id != 0 ? id : CfNameHash(CfName(node), node->name_length, nullptr);
  const CfChildEntry new_entry{child_id, node};
  if (CfIsBranch(node_)) return InsertChild(CfChildren(node_), new_entry, before);

  // A leaf gets a child table: a new record takes its place. It keeps name,
  // type and value; the attribute nibble is not carried over, so a protected
  // leaf accepts a first child and is no longer protected afterwards.
  CfChildEntry* entry = nullptr;
  if (parent_ != nullptr) {
    entry = ParentEntry();
    if (entry == nullptr) return -1;
  } else if (table_->root() != node_) {
    return -1;
  }
  const uint8_t flags = static_cast<uint8_t>(node_->flags & kCfTypeMask);
  CfNode* record = RebuildNode(CfName(node_), node_->name_length, flags, CfValue(node_),
                               node_->value_length, true);
  if (record == nullptr) return -1;
  const int32_t pos = InsertChild(CfChildren(record), new_entry, before);
  if (pos < 0) {
    FreeNodeRecord(record);
    return -1;
  }
  if (entry != nullptr) {
    entry->child = record;
  } else {
    table_->set_root(record);
  }
  RebindKeyNode(record);
  return pos;
}

ICfKey* CCfKeyInterface::AdoptChildNode(CfNode* node, uint32_t id, bool before) {
  if (node == nullptr) return nullptr;
  const int32_t pos = AddChildNode(node, id, before);
  if (pos < 0) {
    FreeNodeRecord(node);
    return nullptr;
  }
  ReindexChildKeys();
  return ObtainChildKey(this, pos);
}

ICfKey* CCfKeyInterface::CreateNamedChild(const CfChar* name, int name_limit, int32_t type,
                                          const void* data, int32_t length) {
  if (name == nullptr || table_ == nullptr) return nullptr;
  if (!ResolveValueArgs(type, data, &length)) return nullptr;
  LockGuard guard(table_->lock());
  if (detached_) return nullptr;
  if (CfIsBranch(node_) && FindChildByName(node_, name, name_limit, nullptr) >= 0) return nullptr;
  CfNode* node = CreateNode(name, name_limit, static_cast<uint8_t>(type), data, length, 0);
  return AdoptChildNode(node, 0, false);
}

ICfKey* CCfKeyInterface::CreateChild(const CfChar* name, int32_t type, const void* data,
                                     int32_t length) {
  return CreateNamedChild(name, -1, type, data, length);
}

ICfKey* CCfKeyInterface::CreateChildWithId(uint32_t id, bool before, int32_t type, const void* data,
                                           int32_t length) {
  if (id == 0 || table_ == nullptr) return nullptr;
  if (!ResolveValueArgs(type, data, &length)) return nullptr;
  LockGuard guard(table_->lock());
  if (detached_) return nullptr;
  CfNode* node = CreateNode(nullptr, 0, static_cast<uint8_t>(type), data, length, 0);
  return AdoptChildNode(node, id, before);
}

bool CCfKeyInterface::Rename(const CfChar* new_name, bool fail_if_exists) {
  if (new_name == nullptr || table_ == nullptr) return false;
  // The name runs to the first NUL, backslash or slash; 1 to 255 units.
  int name_length = 0;
  while (name_length <= kCfMaxNameLength && !CfIsNameEnd(new_name[name_length])) ++name_length;
  if (name_length == 0 || name_length > kCfMaxNameLength) return false;

  LockGuard guard(table_->lock());
  if (detached_ || parent_ == nullptr || parent_->detached_) return false;
  if ((node_->flags & kCfProtected) != 0) return false;
  CfChildEntry* entry = ParentEntry();
  if (entry == nullptr) return false;
  const CfNode* parent_node = parent_->node_;

  // Candidates "<name><n>" for n = 0..999, in 260 units with the NUL.
  CfChar candidate[260];
  const CfChar* chosen = new_name;
  if (FindChildByName(parent_node, new_name, name_length, nullptr) >= 0) {
    if (fail_if_exists) return false;
    for (int i = 0; i < name_length; ++i) candidate[i] = new_name[i];
    bool found = false;
    for (int n = 0; n < 1000 && !found; ++n) {
      candidate[name_length + FormatDecimal(n, candidate + name_length)] = 0;
      found = FindChildByName(parent_node, candidate, -1, nullptr) < 0;
    }
    if (!found) return false;
    chosen = candidate;
  }

  // The node keeps its type, value and children; like every rebuilt record
  // it starts without attribute bits.
  const uint8_t flags = static_cast<uint8_t>(node_->flags & kCfTypeMask);
  CfNode* record =
      RebuildNode(chosen, -1, flags, CfValue(node_), node_->value_length, CfChildCount(node_) > 0);
  if (record == nullptr) return false;
  CfChildTable* siblings = CfChildren(parent_node);
  const CfChildEntry old_entry = *entry;
  if (!RemoveChildAt(siblings, index_)) {
    FreeNodeRecord(record);
    return false;
  }
  // Cannot fail: the removal left room for one entry.
  if (parent_->AddChildNode(record, 0, false) < 0) {
    FreeNodeRecord(record);
    InsertChild(siblings, old_entry, true);
    parent_->ReindexChildKeys();
    return false;
  }
  RebindKeyNode(record);
  parent_->ReindexChildKeys();
  return true;
}

bool CCfKeyInterface::Delete() {
  if (table_ == nullptr) return false;
  LockGuard guard(table_->lock());
  if (detached_ || parent_ == nullptr || parent_->detached_) return false;
  if (!CfIsBranch(parent_->node_)) return false;
  const CfChildEntry* entry = ParentEntry();
  if (entry == nullptr) return false;
  CfNode* node = entry->child;
  if (!IsSubtreeUnprotected(node)) return false;
  if (!RemoveChildAt(CfChildren(parent_->node_), index_)) return false;
  parent_->ReindexChildKeys();
  FreeSubtree(table_, node);  // marks this key and those below it detached
  return true;
}

ICfKey* CCfKeyInterface::MoveToNextSiblingEx(bool delete_this) {
  ICfKey* next = GetNextSibling();
  if (delete_this) Delete();
  Release();
  return next;
}
