#include "store/child_hints.h"

#include <cstdlib>

bool CfChildHints::Prepare(int32_t count) {
  if (count < kMinEntries) {
    if (slots_ != nullptr) Clear();
    return false;
  }
  if (slots_ == nullptr && lookups_ < kWarmLookups) {
    ++lookups_;
    return false;
  }
  // 2 to 4 slots an entry (8 to 16 bytes, at most the table's own room; at
  // most 2^24 slots), kept while the table stays within a factor of 4 of
  // |count|. The slots are zero-filled, so untouched pages cost nothing.
  int bits = 8;
  while (bits < 24 && (int64_t{1} << bits) < int64_t{2} * count) ++bits;
  std::free(slots_);
  slots_ = nullptr;
  const size_t slots = size_t{1} << bits;
  int32_t* s = static_cast<int32_t*>(std::calloc(slots, sizeof(int32_t)));
  if (s == nullptr) return false;
  slots_ = s;
  bits_ = bits;
  low_ = count / 4 > kMinEntries ? count / 4 : kMinEntries;
  high_ = count > INT32_MAX / 4 ? INT32_MAX : count * 4;
  return true;
}

void CfChildHints::Remember(uint32_t id, int32_t index) {
  if (slots_ != nullptr) slots_[Slot(id)] = index;
}
