// Key objects: navigation (their life is key_life.cc's).
#include "store/key.h"

#include <cstring>

#include "store/child_table.h"
#include "store/name.h"

using orvo::platform::LockGuard;

using orvo::store::CfChildren;
using orvo::store::CfIsBranch;
using orvo::store::CfName;
using orvo::store::FindChildById;
using orvo::store::FindChildByName;
using orvo::store::OccurrenceAt;

CfChildEntry* CCfKeyInterface::ParentEntry() {
  if (detached_ || parent_ == nullptr || parent_->detached_) return nullptr;
  const CfNode* parent_node = parent_->node_;
  if (!CfIsBranch(parent_node)) return nullptr;
  CfChildTable* table = CfChildren(parent_node);
  if (index_ < 0 || index_ >= table->count) return nullptr;
  CfChildEntry* entry = &table->entries[index_];
  return entry->child == node_ ? entry : nullptr;
}

ICfKey* CCfKeyInterface::OpenKey(const CfChar* path, bool create) {
  if (path == nullptr || table_ == nullptr) return nullptr;
  AddRef();
  if (path[0] == 0) return this;
  ICfKey* current = this;
  const CfChar* rest = path;
  for (;;) {
    int32_t consumed = 0;
    ICfKey* child = current->FindChild(rest, -1, &consumed, create);
    current->Release();
    if (child == nullptr) return nullptr;
    rest += consumed;
    // The unit after a component is skipped untested: a separator, or the
    // 256th unit of an over-long component.
    if (rest[0] == 0 || rest[1] == 0) return child;
    ++rest;
    current = child;
  }
}

ICfKey* CCfKeyInterface::GetParent() {
  if (table_ == nullptr) {
    if (parent_ != nullptr) ++parent_->ref_count_;
    return parent_;
  }
  LockGuard guard(table_->lock());
  if (parent_ == nullptr) return nullptr;
  parent_->AdjustCount(1);
  return parent_;
}

ICfKey* CCfKeyInterface::GetNextSibling() {
  if (table_ == nullptr) return nullptr;
  LockGuard guard(table_->lock());
  if (detached_ || parent_ == nullptr) return nullptr;  // the root key has no siblings
  return ObtainChildKey(parent_, index_ + 1);
}

ICfKey* CCfKeyInterface::GetFirstChild() {
  if (table_ == nullptr) return nullptr;
  LockGuard guard(table_->lock());
  if (detached_) return nullptr;
  return ObtainChildKey(this, 0);
}

ICfKey* CCfKeyInterface::GetChildById(uint32_t id, int32_t occurrence) {
  if (table_ == nullptr) return nullptr;
  LockGuard guard(table_->lock());
  if (detached_ || !CfIsBranch(node_)) return nullptr;
  const int32_t pos = FindChildById(node_, id, occurrence);
  if (pos < 0) return nullptr;
  return ObtainChildKey(this, pos);
}

ICfKey* CCfKeyInterface::FindChild(const CfChar* name, int32_t name_length, int32_t* consumed,
                                   bool create) {
  if (name == nullptr || table_ == nullptr) return nullptr;
  // One lock span for the lookup and the creation, so that a child made by
  // another thread in between is found rather than refused.
  LockGuard guard(table_->lock());
  if (!detached_ && CfIsBranch(node_)) {
    int covered = 0;
    const int32_t pos = FindChildByName(node_, name, name_length, &covered, &hints_);
    if (consumed != nullptr) *consumed = covered;
    if (pos >= 0) return ObtainChildKey(this, pos);
  }
  if (!create) return nullptr;
  ICfKey* key = CreateNamedChild(name, name_length, CfTypeNone, nullptr, 0);
  if (key != nullptr && consumed != nullptr) *consumed = key->GetName(nullptr, 0);
  return key;
}

ICfKey* CCfKeyInterface::MoveToParent() {
  ICfKey* next = GetParent();
  Release();
  return next;
}

ICfKey* CCfKeyInterface::MoveToNextSibling() {
  ICfKey* next = GetNextSibling();
  Release();
  return next;
}

ICfKey* CCfKeyInterface::MoveToChild(const CfChar* name, int32_t name_length) {
  ICfKey* next = FindChild(name, name_length, nullptr, false);
  Release();
  return next;
}

ICfKey* CCfKeyInterface::MoveToChildById(uint32_t id) {
  ICfKey* next = GetChildById(id, 0);
  Release();
  return next;
}

ICfKey* CCfKeyInterface::MoveToFirstChild() {
  ICfKey* next = GetFirstChild();
  Release();
  return next;
}

int32_t CCfKeyInterface::GetName(CfChar* buffer, int32_t capacity) {
  if (table_ == nullptr) return -1;
  LockGuard guard(table_->lock());
  if (detached_) return -1;
  const int32_t length = node_->name_length;
  if (buffer == nullptr) return length;
  if (capacity < length + 1) return -1;
  if (length == 0) return 0;  // the buffer stays as it was
  std::memcpy(buffer, CfName(node_), static_cast<size_t>(length + 1) * sizeof(CfChar));
  return length;
}

uint32_t CCfKeyInterface::GetId(int32_t* occurrence) {
  if (table_ == nullptr) return 0;
  LockGuard guard(table_->lock());
  if (detached_) return 0;
  if (parent_ == nullptr) {  // the root key: no table entry
    if (occurrence != nullptr) *occurrence = 0;
    return 0;
  }
  const CfChildEntry* entry = ParentEntry();
  if (entry == nullptr) return 0;
  if (occurrence != nullptr) {
    *occurrence = OccurrenceAt(CfChildren(parent_->node_), index_);
  }
  return entry->id;
}

int32_t CCfKeyInterface::GetIndex() {
  if (table_ == nullptr) return -1;
  // Other threads' insertions rewrite the index: read it under the lock.
  LockGuard guard(table_->lock());
  return detached_ ? -1 : index_;
}
