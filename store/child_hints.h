// Position hints for name lookups in large child tables.
//
// A key that searches its node's table by name again and again keeps, once
// the table is large, a small array that remembers for a child id the index
// of the first entry with that id, as a search found it. A hint is only a
// guess: it is taken only when the table confirms it (the entry there has the
// id and the entry before it a smaller one), which in a table sorted by id
// makes it exactly the binary search's answer (a table that is not sorted is
// never searched through hints, see child_table.h). A stale hint (entries inserted,
// removed or renamed, the table replaced) therefore costs a search, never a
// wrong answer, and nothing that changes a table needs to know of the hints.
//
// Not synchronised: the owning file object's lock guards it.
#ifndef ORVO_STORE_CHILD_HINTS_H_
#define ORVO_STORE_CHILD_HINTS_H_

#include <cstdint>
#include <cstdlib>

#include "store/node_record.h"

class CfChildHints {
 public:
  // Tables with fewer entries are searched directly: they fit in the cache.
  static constexpr int32_t kMinEntries = 256;
  // Lookups a key makes in a large table before its hints are set up, so
  // that a key obtained for one step of a path never allocates them.
  static constexpr int32_t kWarmLookups = 16;

  CfChildHints() = default;
  ~CfChildHints() { Clear(); }
  CfChildHints(const CfChildHints&) = delete;
  CfChildHints& operator=(const CfChildHints&) = delete;

  // The index of the first entry of |table| with |id| when a hint gives it
  // and the table confirms it, else -1 (search the table then, and tell
  // Remember). Counts the lookup and sets up, resizes or drops the hints for
  // the table's size as needed; without memory for them there are none.
  int32_t Recall(const CfChildTable* table, uint32_t id) {
    if (slots_ == nullptr || table->count < low_ || table->count > high_) {
      if (!Prepare(table->count)) return -1;
    }
    const int32_t i = slots_[Slot(id)];
    const CfChildEntry* entries = table->entries;
    if (i < table->count && entries[i].id == id && (i == 0 || entries[i - 1].id < id)) return i;
    return -1;
  }
  // Notes that the first entry with |id| is at |index| (no effect while
  // there are no hints). REQUIRES: index >= 0.
  void Remember(uint32_t id, int32_t index);
  // Frees the hints and forgets the lookups (a key object going to the pool).
  void Clear() {
    if (slots_ != nullptr) std::free(slots_);
    slots_ = nullptr;
    bits_ = 0;
    low_ = 0;
    high_ = 0;
    lookups_ = 0;
  }

  // Slots in use (0: no hints), for tests.
  uint32_t slots() const { return slots_ == nullptr ? 0 : 1u << bits_; }

 private:
  // Makes the hints fit a table of |count| entries: none below kMinEntries
  // or before kWarmLookups lookups; else slots for its size. True when
  // there are hints to probe.
  bool Prepare(int32_t count);
  uint32_t Slot(uint32_t id) const {
    // Multiplicative hashing: names that differ only near their end differ
    // in the hash's low bits, which the product spreads to the high ones.
    return (id * 0x9E3779B1u) >> (32 - bits_);
  }

  // One index a slot, direct-mapped: a probe reads one slot and then the
  // table entries it names, which a hit reads anyway. New slots hold 0, a
  // guess like any other.
  // Invariant: slots_ is null or holds 2^bits_ indexes, sized for tables
  // of low_ to high_ entries.
  int32_t* slots_ = nullptr;
  int bits_ = 0;
  int32_t low_ = 0;
  int32_t high_ = 0;
  int32_t lookups_ = 0;
};

#endif  // ORVO_STORE_CHILD_HINTS_H_
