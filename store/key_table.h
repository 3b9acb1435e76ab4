// The key table of a file object: what its key objects share. It holds the
// registry of the registered key objects and the idle pool, and points at
// what every key reaches through it: the file object's lock and the slot
// that holds the tree's root.
//
// The key module alone obtains, finds, retires and re-indexes key objects in
// a table (key_life.cc); the file object makes the table, hands it the lock
// and the root slot, and asks it for counts. The table itself knows key
// objects only as addresses.
//
// Not synchronised: lock() guards it, like the tree.
#ifndef ORVO_STORE_KEY_TABLE_H_
#define ORVO_STORE_KEY_TABLE_H_

#include <cstdint>

#include "platform/recursive_lock.h"
#include "store/key_registry.h"
#include "store/node_record.h"

class CCfKeyInterface;

// Idle key objects kept for reuse, and the room kept for them.
constexpr int32_t kCfIdlePoolLimit = 5;
constexpr int32_t kCfIdlePoolRoom = 15;

class CfKeyTable {
 public:
  // |lock| and |root| belong to the file object and outlive the table.
  CfKeyTable(orvo::platform::RecursiveLock* lock, CfNode** root) : lock_(lock), root_(root) {}
  CfKeyTable(const CfKeyTable&) = delete;
  CfKeyTable& operator=(const CfKeyTable&) = delete;

  orvo::platform::RecursiveLock& lock() const { return *lock_; }

  // The tree's root node, and its replacement by a rebuilt record.
  // REQUIRES: lock() is held.
  CfNode* root() const { return *root_; }
  void set_root(CfNode* node) { *root_ = node; }

  // REQUIRES (all below): lock() is held.
  CfKeyRegistry& registry() { return registry_; }
  const CfKeyRegistry& registry() const { return registry_; }

  int32_t pool_count() const { return pool_count_; }
  // REQUIRES: 0 <= i < pool_count().
  CCfKeyInterface* pooled(int32_t i) const { return pool_[i]; }
  // The most recently pooled object, taken out of the pool; null when the
  // pool is empty.
  CCfKeyInterface* TakePooled() {
    if (pool_count_ == 0) return nullptr;
    CCfKeyInterface* key = pool_[--pool_count_];
    pool_[pool_count_] = nullptr;
    return key;
  }
  // Pools |key|; false when the pool is at its limit (the caller destroys
  // the object then).
  bool Pool(CCfKeyInterface* key) {
    if (pool_count_ >= kCfIdlePoolLimit) return false;
    pool_[pool_count_++] = key;
    return true;
  }

 private:
  orvo::platform::RecursiveLock* const lock_;
  CfNode** const root_;
  CfKeyRegistry registry_;
  CCfKeyInterface* pool_[kCfIdlePoolRoom] = {};
  int32_t pool_count_ = 0;  // Invariant: 0 <= pool_count_ <= kCfIdlePoolLimit
};

#endif  // ORVO_STORE_KEY_TABLE_H_
