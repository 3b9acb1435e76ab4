// The registry of a file object's key objects: (node, key) pairs sorted by
// the node's address, several entries per node allowed (a detached key stays
// registered under its former node, whose address a new node may reuse).
//
// Capacity rule: room for 32 entries inside the object; a full registry grows
// by 32 entries on the heap; a removal that starts with count n at capacity m
// first shrinks by 32 when n - 1 < m - 48 and n < 3 * m / 4 and the storage is
// on the heap, and a capacity of 32 goes back to the room inside the object.
//
// Not synchronised: the owning file object's lock guards it.
#ifndef ORVO_STORE_KEY_REGISTRY_H_
#define ORVO_STORE_KEY_REGISTRY_H_

#include <cstdint>

#include "store/node_record.h"

class CCfKeyInterface;

struct CfKeyEntry {
  CfNode* node;
  CCfKeyInterface* key;
};

class CfKeyRegistry {
 public:
  static constexpr int32_t kInlineCapacity = 32;
  static constexpr int32_t kStep = 32;

  CfKeyRegistry() = default;
  ~CfKeyRegistry();
  CfKeyRegistry(const CfKeyRegistry&) = delete;
  CfKeyRegistry& operator=(const CfKeyRegistry&) = delete;

  int32_t count() const { return count_; }
  int32_t capacity() const { return capacity_; }
  bool on_heap() const { return entries_ != inline_; }
  // REQUIRES: 0 <= i < count().
  const CfKeyEntry& at(int32_t i) const { return entries_[i]; }

  // Index of the first entry whose node is not below |node|.
  int32_t LowerBound(const CfNode* node) const;
  // Index of the entry (node, key), or -1.
  int32_t Find(const CfNode* node, const CCfKeyInterface* key) const;

  // Adds (node, key) after the entries for the same node. False when the
  // storage cannot grow (nothing changed).
  bool Insert(CfNode* node, CCfKeyInterface* key);
  // Removes entry |i|, shrinking by the rule above. A shrink whose storage
  // cannot be had keeps the larger storage; the removal always happens.
  // REQUIRES: 0 <= i < count().
  void RemoveAt(int32_t i);
  // Moves entry |i| to |node| (after that node's entries). Never allocates.
  // REQUIRES: 0 <= i < count().
  void Rekey(int32_t i, CfNode* node);

 private:
  // First index whose node is above |node|.
  int32_t UpperBound(const CfNode* node) const;

  CfKeyEntry inline_[kInlineCapacity];
  CfKeyEntry* entries_ = inline_;
  int32_t count_ = 0;
  int32_t capacity_ = kInlineCapacity;
};

#endif  // ORVO_STORE_KEY_REGISTRY_H_
