// Key objects: reference counting, sharing and navigation.
#include "store/key.h"

#include <cstring>

#include "store/child_table.h"
#include "store/config_file.h"
#include "store/name.h"

using orvo::platform::LockGuard;

CCfKeyInterface::CCfKeyInterface(CConfigFile* file) : file_(file) {
  object_flags_ = kCfObjectOwned;
}

int32_t CCfKeyInterface::AddRef() {
  if (file_ == nullptr) return ref_count_++;  // orphaned: no lock left to take
  LockGuard guard(file_->lock());
  return AdjustCount(1) - 1;
}

int32_t CCfKeyInterface::ReleaseOrphan() {
  int32_t result = -1;
  bool first = true;
  CCfKeyInterface* k = this;
  while (k != nullptr) {
    const int32_t count = --k->ref_count_;
    if (first) result = count;
    first = false;
    if (count > 0) break;
    CCfKeyInterface* parent = k->parent_;
    k->DeletingDestructor(kCfDeleteStorage);
    k = parent;
  }
  return result;
}

int32_t CCfKeyInterface::Release() {
  CConfigFile* file = file_;
  if (file == nullptr) return ReleaseOrphan();
  int32_t result = -1;
  bool first = true;
  // Keys whose count reached 0, the uppermost ancestor at the head.
  CCfKeyInterface* finished = nullptr;
  {
    LockGuard guard(file->lock());
    CCfKeyInterface* k = this;
    while (k != nullptr) {
      // Only registered keys hold references (CheckInvariants), so a count
      // below 1 is the test for a key without a registry entry; the entry
      // itself is looked up only to remove it.
      if (k->ref_count_.load(std::memory_order_relaxed) < 1) break;
      const int32_t count = k->AdjustCount(-1);
      if (first) result = count;
      first = false;
      if (count > 0) break;
      const int32_t i = file->registry_.Find(k->node_, k);
      if (i >= 0) file->registry_.RemoveAt(i);
      if (!k->detached_) k->node_->flags &= static_cast<uint8_t>(~kCfKeyBound);
      k->next_finished_ = finished;
      finished = k;
      k = k->parent_;  // the finished key gives up its reference on its parent
    }
  }
  // Unreachable now: pool or destroy them, each in a lock span of its own.
  while (finished != nullptr) {
    CCfKeyInterface* next = finished->next_finished_;
    if ((finished->object_flags_ & kCfObjectOwned) != 0) file->RetireKeyObject(finished);
    finished = next;
  }
  return result;
}

CCfKeyInterface* CCfKeyInterface::ObtainChildKey(CCfKeyInterface* parent, int32_t index) {
  if (parent == nullptr || index < 0 || parent->detached_ || !CfIsBranch(parent->node_)) {
    return nullptr;
  }
  const CfChildTable* table = CfChildren(parent->node_);
  if (index >= table->count) return nullptr;
  CfNode* child = table->entries[index].child;
  CConfigFile* file = parent->file_;
  if ((child->flags & kCfKeyBound) != 0) {
    CCfKeyInterface* live = file->FindLiveKeyObject(child);
    if (live != nullptr) {
      live->AdjustCount(1);
      return live;
    }
  }
  CCfKeyInterface* key = file->ObtainKeyObject(child);
  if (key == nullptr) return nullptr;
  key->index_ = index;
  key->parent_ = parent;
  parent->AdjustCount(1);
  child->flags |= kCfKeyBound;
  return key;
}

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
  if (path == nullptr || file_ == nullptr) return nullptr;
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
  if (file_ == nullptr) {
    if (parent_ != nullptr) ++parent_->ref_count_;
    return parent_;
  }
  LockGuard guard(file_->lock());
  if (parent_ == nullptr) return nullptr;
  parent_->AdjustCount(1);
  return parent_;
}

ICfKey* CCfKeyInterface::GetNextSibling() {
  if (file_ == nullptr) return nullptr;
  LockGuard guard(file_->lock());
  if (detached_ || parent_ == nullptr) return nullptr;  // the root key has no siblings
  return ObtainChildKey(parent_, index_ + 1);
}

ICfKey* CCfKeyInterface::GetFirstChild() {
  if (file_ == nullptr) return nullptr;
  LockGuard guard(file_->lock());
  if (detached_) return nullptr;
  return ObtainChildKey(this, 0);
}

ICfKey* CCfKeyInterface::GetChildById(uint32_t id, int32_t occurrence) {
  if (file_ == nullptr) return nullptr;
  LockGuard guard(file_->lock());
  if (detached_ || !CfIsBranch(node_)) return nullptr;
  const int32_t pos = FindChildById(node_, id, occurrence);
  if (pos < 0) return nullptr;
  return ObtainChildKey(this, pos);
}

ICfKey* CCfKeyInterface::FindChild(const CfChar* name, int32_t name_length, int32_t* consumed,
                                   bool create) {
  if (name == nullptr || file_ == nullptr) return nullptr;
  // One lock span for the lookup and the creation, so that a child made by
  // another thread in between is found rather than refused.
  LockGuard guard(file_->lock());
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
  if (file_ == nullptr) return -1;
  LockGuard guard(file_->lock());
  if (detached_) return -1;
  const int32_t length = node_->name_length;
  if (buffer == nullptr) return length;
  if (capacity < length + 1) return -1;
  if (length == 0) return 0;  // the buffer stays as it was
  std::memcpy(buffer, CfName(node_), static_cast<size_t>(length + 1) * sizeof(CfChar));
  return length;
}

uint32_t CCfKeyInterface::GetId(int32_t* occurrence) {
  if (file_ == nullptr) return 0;
  LockGuard guard(file_->lock());
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
  if (file_ == nullptr) return -1;
  // Other threads' insertions rewrite the index: read it under the lock.
  LockGuard guard(file_->lock());
  return detached_ ? -1 : index_;
}
