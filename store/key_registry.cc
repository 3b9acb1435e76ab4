#include "store/key_registry.h"

#include <cstdlib>
#include <cstring>

namespace {

inline uintptr_t Address(const CfNode* node) { return reinterpret_cast<uintptr_t>(node); }

}  // namespace

CfKeyRegistry::~CfKeyRegistry() {
  if (on_heap()) std::free(entries_);
}

// Both bounds search without a branch on the comparisons: node addresses
// come in no order, so a jump on each would be mispredicted half the time.
int32_t CfKeyRegistry::LowerBound(const CfNode* node) const {
  int32_t n = count_;
  if (n <= 0) return 0;
  const CfKeyEntry* base = entries_;
  while (n > 1) {
    const int32_t half = n / 2;
    base = Address(base[half].node) < Address(node) ? base + half : base;
    n -= half;
  }
  return static_cast<int32_t>(base - entries_) + (Address(base->node) < Address(node) ? 1 : 0);
}

int32_t CfKeyRegistry::UpperBound(const CfNode* node) const {
  int32_t n = count_;
  if (n <= 0) return 0;
  const CfKeyEntry* base = entries_;
  while (n > 1) {
    const int32_t half = n / 2;
    base = Address(base[half].node) <= Address(node) ? base + half : base;
    n -= half;
  }
  return static_cast<int32_t>(base - entries_) + (Address(base->node) <= Address(node) ? 1 : 0);
}

int32_t CfKeyRegistry::Find(const CfNode* node, const CCfKeyInterface* key) const {
  for (int32_t i = LowerBound(node); i < count_ && entries_[i].node == node; ++i) {
    if (entries_[i].key == key) return i;
  }
  return -1;
}

bool CfKeyRegistry::Insert(CfNode* node, CCfKeyInterface* key) {
  if (count_ == capacity_) {
    if (capacity_ > INT32_MAX / static_cast<int32_t>(sizeof(CfKeyEntry)) - kStep) return false;
    const size_t bytes = static_cast<size_t>(capacity_ + kStep) * sizeof(CfKeyEntry);
    CfKeyEntry* grown;
    if (on_heap()) {
      grown = static_cast<CfKeyEntry*>(std::realloc(entries_, bytes));
      if (grown == nullptr) return false;
    } else {
      grown = static_cast<CfKeyEntry*>(std::malloc(bytes));
      if (grown == nullptr) return false;
      std::memcpy(grown, inline_, sizeof(inline_));
    }
    entries_ = grown;
    capacity_ += kStep;
  }
  const int32_t pos = UpperBound(node);
  std::memmove(&entries_[pos + 1], &entries_[pos],
               static_cast<size_t>(count_ - pos) * sizeof(CfKeyEntry));
  entries_[pos] = CfKeyEntry{node, key};
  ++count_;
  return true;
}

void CfKeyRegistry::RemoveAt(int32_t i) {
  const int32_t n = count_;
  const int32_t m = capacity_;
  std::memmove(&entries_[i], &entries_[i + 1], static_cast<size_t>(n - 1 - i) * sizeof(CfKeyEntry));
  count_ = n - 1;
  // n - 1 < m - 48 leaves the n - 1 entries room in m - 32.
  if (on_heap() && n - 1 < m - 48 && n < (3 * static_cast<int64_t>(m)) / 4) {
    if (m - kStep == kInlineCapacity) {
      std::memcpy(inline_, entries_, static_cast<size_t>(count_) * sizeof(CfKeyEntry));
      std::free(entries_);
      entries_ = inline_;
    } else {
      void* p = std::realloc(entries_, static_cast<size_t>(m - kStep) * sizeof(CfKeyEntry));
      if (p == nullptr) return;  // keep the larger storage
      entries_ = static_cast<CfKeyEntry*>(p);
    }
    capacity_ = m - kStep;
  }
}

void CfKeyRegistry::Rekey(int32_t i, CfNode* node) {
  CCfKeyInterface* key = entries_[i].key;
  std::memmove(&entries_[i], &entries_[i + 1],
               static_cast<size_t>(count_ - 1 - i) * sizeof(CfKeyEntry));
  --count_;
  const int32_t pos = UpperBound(node);
  std::memmove(&entries_[pos + 1], &entries_[pos],
               static_cast<size_t>(count_ - pos) * sizeof(CfKeyEntry));
  entries_[pos] = CfKeyEntry{node, key};
  ++count_;
}
