// Key objects: their life in their file object's key table. Obtaining,
// finding, counting, retiring and re-indexing key objects happens here and
// nowhere else.
#include <new>

#include "store/key.h"

using orvo::platform::LockGuard;

using orvo::store::CfChildren;
using orvo::store::CfIsBranch;
using orvo::store::FreeNodeTree;

int32_t CCfKeyInterface::AddRef() {
  if (table_ == nullptr) return ref_count_++;  // orphaned: no lock left to take
  LockGuard guard(table_->lock());
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
  CfKeyTable* table = table_;
  if (table == nullptr) return ReleaseOrphan();
  int32_t result = -1;
  bool first = true;
  // Keys whose count reached 0, the uppermost ancestor at the head.
  CCfKeyInterface* finished = nullptr;
  {
    LockGuard guard(table->lock());
    CfKeyRegistry& registry = table->registry();
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
      const int32_t i = registry.Find(k->node_, k);
      if (i >= 0) registry.RemoveAt(i);
      if (!k->detached_) k->node_->flags &= static_cast<uint8_t>(~kCfKeyBound);
      k->next_finished_ = finished;
      finished = k;
      k = k->parent_;  // the finished key gives up its reference on its parent
    }
  }
  // Unreachable now: pool or destroy them, each in a lock span of its own.
  while (finished != nullptr) {
    CCfKeyInterface* next = finished->next_finished_;
    if ((finished->object_flags_ & kCfObjectOwned) != 0) RetireKeyObject(table, finished);
    finished = next;
  }
  return result;
}

CCfKeyInterface* CCfKeyInterface::ObtainKeyObject(CfKeyTable* table, CfNode* node) {
  CCfKeyInterface* key = table->TakePooled();
  if (key != nullptr) {
    key->object_flags_ &= kCfObjectOwned;
    key->detached_ = false;
    key->table_ = table;
    key->ref_count_.store(1, std::memory_order_relaxed);  // published by the lock
  } else {
    key = new (std::nothrow) CCfKeyInterface(table);
    if (key == nullptr) return nullptr;
  }
  key->node_ = node;
  if (!table->registry().Insert(node, key)) {
    key->node_ = nullptr;
    key->ref_count_.store(0, std::memory_order_relaxed);
    if (!table->Pool(key)) key->DeletingDestructor(kCfDeleteStorage);
    return nullptr;
  }
  return key;
}

CCfKeyInterface* CCfKeyInterface::ObtainRootKey(CfKeyTable* table) {
  CCfKeyInterface* key = ObtainKeyObject(table, table->root());
  if (key == nullptr) return nullptr;
  key->parent_ = nullptr;
  key->index_ = -1;
  return key;
}

CCfKeyInterface* CCfKeyInterface::ObtainChildKey(CCfKeyInterface* parent, int32_t index) {
  if (parent == nullptr || index < 0 || parent->detached_ || !CfIsBranch(parent->node_)) {
    return nullptr;
  }
  const CfChildTable* children = CfChildren(parent->node_);
  if (index >= children->count) return nullptr;
  CfNode* child = children->entries[index].child;
  CfKeyTable* table = parent->table_;
  if ((child->flags & kCfKeyBound) != 0) {
    CCfKeyInterface* live = FindLiveKeyObject(*table, child);
    if (live != nullptr) {
      live->AdjustCount(1);
      return live;
    }
  }
  CCfKeyInterface* key = ObtainKeyObject(table, child);
  if (key == nullptr) return nullptr;
  key->index_ = index;
  key->parent_ = parent;
  parent->AdjustCount(1);
  child->flags |= kCfKeyBound;
  return key;
}

CCfKeyInterface* CCfKeyInterface::FindLiveKeyObject(const CfKeyTable& table, const CfNode* node) {
  const CfKeyRegistry& registry = table.registry();
  for (int32_t i = registry.LowerBound(node); i < registry.count(); ++i) {
    const CfKeyEntry& e = registry.at(i);
    if (e.node != node) break;
    if (!e.key->detached_) return e.key;
  }
  return nullptr;
}

void CCfKeyInterface::ReindexChildKeys() {
  if (detached_ || !CfIsBranch(node_)) return;
  const CfChildTable* children = CfChildren(node_);
  for (int32_t i = 0; i < children->count; ++i) {
    const CfNode* child = children->entries[i].child;
    // Only key-bound children have a live key object.
    if ((child->flags & kCfKeyBound) == 0) continue;
    CCfKeyInterface* key = FindLiveKeyObject(*table_, child);
    if (key != nullptr) key->index_ = i;
  }
}

void CCfKeyInterface::FreeSubtree(CfKeyTable* table, CfNode* node) {
  // Marks the live key object of every key-bound node of the subtree
  // detached.
  class DetachHook final : public CfDetachHook {
   public:
    explicit DetachHook(const CfKeyTable* table) : table_(table) {}
    void Detach(CfNode* node) override {
      CCfKeyInterface* key = FindLiveKeyObject(*table_, node);
      if (key != nullptr) key->detached_ = true;
    }

   private:
    const CfKeyTable* table_;
  };
  DetachHook hook(table);
  FreeNodeTree(node, &hook);
}

void CCfKeyInterface::RetireKeyObject(CfKeyTable* table, CCfKeyInterface* key) {
  // No one else can reach the object until it is in the pool.
  key->hints_.Clear();
  bool destroy;
  {
    LockGuard guard(table->lock());
    key->node_ = nullptr;
    key->parent_ = nullptr;
    key->index_ = -1;
    key->next_finished_ = nullptr;
    destroy = !table->Pool(key);
  }
  if (destroy) key->DeletingDestructor(kCfDeleteStorage);
}

void CCfKeyInterface::CloseTable(CfKeyTable* table) {
  for (CCfKeyInterface* key = table->TakePooled(); key != nullptr; key = table->TakePooled()) {
    key->DeletingDestructor(kCfDeleteStorage);
  }
  if (table->root() != nullptr) {
    FreeSubtree(table, table->root());
    table->set_root(nullptr);
  }
  const CfKeyRegistry& registry = table->registry();
  for (int32_t i = 0; i < registry.count(); ++i) {
    CCfKeyInterface* key = registry.at(i).key;
    key->detached_ = true;
    key->table_ = nullptr;
  }
}
