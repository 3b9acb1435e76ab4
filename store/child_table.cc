#include "store/child_table.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

#include "store/name.h"
#include "store/node_storage.h"

namespace orvo::store {

namespace {

constexpr int32_t kGrowStep = 16;
constexpr int32_t kShrinkSlack = 24;

bool Resize(CfChildTable* table, int32_t capacity) {
  if (capacity == 0) {
    CfReleasePiece(table->entries);
    table->entries = nullptr;
    table->capacity = 0;
    return true;
  }
  const size_t bytes = static_cast<size_t>(capacity) * sizeof(CfChildEntry);
  void* p = table->entries == nullptr
                ? CfAllocatePiece(bytes)
                : CfResizePiece(table->entries,
                                static_cast<size_t>(table->capacity) * sizeof(CfChildEntry), bytes);
  if (p == nullptr) return false;
  table->entries = static_cast<CfChildEntry*>(p);
  table->capacity = capacity;
  return true;
}

// First index whose id is not below |id| (unsigned order).
int32_t LowerBound(const CfChildTable* table, uint32_t id) {
  int32_t lo = 0, hi = table->count;
  while (lo < hi) {
    int32_t mid = lo + (hi - lo) / 2;
    if (table->entries[mid].id < id) {
      lo = mid + 1;
    } else {
      hi = mid;
    }
  }
  return lo;
}

// First index whose id is above |id|.
int32_t UpperBound(const CfChildTable* table, uint32_t id) {
  int32_t lo = 0, hi = table->count;
  while (lo < hi) {
    int32_t mid = lo + (hi - lo) / 2;
    if (table->entries[mid].id <= id) {
      lo = mid + 1;
    } else {
      hi = mid;
    }
  }
  return lo;
}

void DropOrder(CfChildTable* table) {
  std::free(table->order);
  table->order = nullptr;
}

// Whether the entry at position |a| comes before the one at |b| in the order
// index: by id, then by position.
inline bool OrderedBefore(const CfChildEntry* entries, int32_t a, int32_t b) {
  return entries[a].id != entries[b].id ? entries[a].id < entries[b].id : a < b;
}

// The first index k of |order| (|n| positions) whose entry does not come
// before the entry with |id| at position |pos| (INT32_MIN: before them all,
// INT32_MAX: after them all).
int32_t OrderBound(const CfChildTable* table, const int32_t* order, int32_t n, uint32_t id,
                   int32_t pos) {
  int32_t lo = 0, hi = n;
  while (lo < hi) {
    const int32_t mid = lo + (hi - lo) / 2;
    const int32_t at = order[mid];
    const uint32_t at_id = table->entries[at].id;
    if (at_id < id || (at_id == id && at < pos)) {
      lo = mid + 1;
    } else {
      hi = mid;
    }
  }
  return lo;
}

// The order index of a table that is not sorted, set up if it has none;
// null for an empty table or when memory runs out (search by scans then).
const int32_t* OrderOf(CfChildTable* table) {
  if (table->order != nullptr || table->count == 0) return table->order;
  int32_t* order =
      static_cast<int32_t*>(std::malloc(static_cast<size_t>(table->count) * sizeof(int32_t)));
  if (order == nullptr) return nullptr;
  for (int32_t i = 0; i < table->count; ++i) order[i] = i;
  const CfChildEntry* entries = table->entries;
  std::sort(order, order + table->count,
            [entries](int32_t a, int32_t b) { return OrderedBefore(entries, a, b); });
  table->order = order;
  return order;
}

// The run of |order| that holds the entries with |id|: [*begin, *end).
void OrderRun(const CfChildTable* table, const int32_t* order, uint32_t id, int32_t* begin,
              int32_t* end) {
  *begin = OrderBound(table, order, table->count, id, INT32_MIN);
  *end = OrderBound(table, order, table->count, id, INT32_MAX);
}

int32_t InsertAt(CfChildTable* table, int32_t pos, CfChildEntry entry) {
  if (table->count == table->capacity) {
    if (table->capacity > INT32_MAX - kGrowStep) return -1;
    if (!Resize(table, table->capacity + kGrowStep)) return -1;
  }
  std::memmove(&table->entries[pos + 1], &table->entries[pos],
               static_cast<size_t>(table->count - pos) * sizeof(CfChildEntry));
  table->entries[pos] = entry;
  ++table->count;
  if (table->order != nullptr) {
    // Positions from |pos| on moved up by one; the new one goes to its place.
    const int32_t n = table->count;
    int32_t* order =
        static_cast<int32_t*>(std::realloc(table->order, static_cast<size_t>(n) * sizeof(int32_t)));
    if (order == nullptr) {
      DropOrder(table);  // set up again by the next lookup
      return pos;
    }
    table->order = order;
    for (int32_t k = 0; k < n - 1; ++k) order[k] += order[k] >= pos ? 1 : 0;
    const int32_t at = OrderBound(table, order, n - 1, entry.id, pos);
    std::memmove(&order[at + 1], &order[at], static_cast<size_t>(n - 1 - at) * sizeof(int32_t));
    order[at] = pos;
  }
  return pos;
}

// LowerBound for the lookups: the same result without a branch on the
// comparisons, so that a search over a large table does not pay one
// mispredicted jump a step; both halves' next probes are prefetched.
int32_t SeekFirstId(const CfChildTable* table, uint32_t id) {
  int32_t n = table->count;
  if (n <= 0) return 0;
  const CfChildEntry* base = table->entries;
  while (n > 1) {
    const int32_t half = n / 2;
    __builtin_prefetch(&base[half / 2]);
    __builtin_prefetch(&base[half + half / 2]);
    base = base[half].id < id ? base + half : base;
    n -= half;
  }
  return static_cast<int32_t>(base - table->entries) + (base->id < id ? 1 : 0);
}

// The position of the |occurrence|-th entry with |id| (negative: the last)
// in a table that is not sorted, or -1: through its order index, else by a
// scan in table order.
int32_t UnsortedFind(CfChildTable* table, uint32_t id, int32_t occurrence) {
  const int32_t* order = OrderOf(table);
  if (order != nullptr) {
    int32_t begin, end;
    OrderRun(table, order, id, &begin, &end);
    if (occurrence < 0) return begin < end ? order[end - 1] : -1;
    return occurrence < end - begin ? order[begin + occurrence] : -1;
  }
  int32_t last = -1;
  for (int32_t i = 0; i < table->count; ++i) {
    if (table->entries[i].id != id) continue;
    if (occurrence == 0) return i;
    if (occurrence > 0) --occurrence;
    last = i;
  }
  return occurrence < 0 ? last : -1;
}

}  // namespace

int64_t ChildCapacityFor(int64_t count) { return (count + kGrowStep - 1) / kGrowStep * kGrowStep; }

void InitChildTable(CfChildTable* table, CfChildEntry* entries, int32_t capacity) {
  table->capacity = capacity;
  table->count = 0;
  table->entries = entries;
  table->order = nullptr;
  table->sorted = true;
}

CfChildTable* NewChildTable() {
  CfChildTable* t = static_cast<CfChildTable*>(CfAllocatePiece(sizeof(CfChildTable)));
  if (t == nullptr) return nullptr;
  InitChildTable(t, nullptr, 0);
  return t;
}

void DeleteChildTable(CfChildTable* table) {
  if (table == nullptr) return;
  DropOrder(table);
  CfReleasePiece(table->entries);
  CfReleasePiece(table);
}

int32_t InsertChild(CfChildTable* table, CfChildEntry entry, bool before) {
  if (table->sorted) {
    return InsertAt(table, before ? LowerBound(table, entry.id) : UpperBound(table, entry.id),
                    entry);
  }
  const int32_t at = UnsortedFind(table, entry.id, before ? 0 : -1);
  return InsertAt(table, at < 0 ? table->count : before ? at : at + 1, entry);
}

int32_t AppendChild(CfChildTable* table, CfChildEntry entry) {
  const int32_t pos = InsertAt(table, table->count, entry);
  if (pos > 0 && table->entries[pos - 1].id > entry.id) table->sorted = false;
  return pos;
}

bool ReserveChildren(CfChildTable* table, int32_t count) {
  const int64_t capacity = ChildCapacityFor(count);
  if (capacity <= table->capacity) return true;
  if (capacity > INT32_MAX) return false;
  return Resize(table, static_cast<int32_t>(capacity));
}

void TrimChildren(CfChildTable* table) {
  const int64_t capacity = ChildCapacityFor(table->count);
  if (capacity < table->capacity) Resize(table, static_cast<int32_t>(capacity));
}

bool RemoveChildAt(CfChildTable* table, int32_t index) {
  const int32_t n = table->count;
  if (n <= 0) return false;
  if (index < 0 || index >= n) index = n - 1;
  const int32_t m = table->capacity;
  if (n - 1 < m - kShrinkSlack && n < (3 * static_cast<int64_t>(m)) / 4) {
    // n - 1 < m - 24 means n <= m - 24, so the smaller storage still holds all.
    if (!Resize(table, m - kGrowStep)) return false;
  }
  if (table->order != nullptr) {
    // The position leaves the index; those after it move down by one.
    int32_t* order = table->order;
    const int32_t at = OrderBound(table, order, n, table->entries[index].id, index);
    std::memmove(&order[at], &order[at + 1], static_cast<size_t>(n - 1 - at) * sizeof(int32_t));
    for (int32_t k = 0; k < n - 1; ++k) order[k] -= order[k] > index ? 1 : 0;
  }
  std::memmove(&table->entries[index], &table->entries[index + 1],
               static_cast<size_t>(n - 1 - index) * sizeof(CfChildEntry));
  table->count = n - 1;
  return true;
}

int32_t FindFirstId(CfChildTable* table, uint32_t id) {
  if (!table->sorted) return UnsortedFind(table, id, 0);
  // In a sorted table the first entry with an id is one lower bound, which
  // both searches find: the name lookup's branch-free one pays off on
  // random probes, this one on a walk through one id's run.
  const int32_t pos = LowerBound(table, id);
  return (pos < table->count && table->entries[pos].id == id) ? pos : -1;
}

int32_t OccurrenceAt(CfChildTable* table, int32_t index) {
  const uint32_t id = table->entries[index].id;
  if (table->sorted) return index - LowerBound(table, id);
  const int32_t* order = OrderOf(table);
  if (order != nullptr) {
    return OrderBound(table, order, table->count, id, index) -
           OrderBound(table, order, table->count, id, INT32_MIN);
  }
  int32_t before = 0;
  for (int32_t i = 0; i < index; ++i) before += table->entries[i].id == id ? 1 : 0;
  return before;
}

int32_t FindChildByName(const CfNode* node, const CfChar* name, int limit, int* covered,
                        CfChildHints* hints) {
  int n = 0;
  const uint32_t h = CfNameHash(name, limit, &n);
  if (covered != nullptr) *covered = n;
  CfChildTable* table = CfChildren(node);
  if (!table->sorted) {
    const int32_t* order = OrderOf(table);
    if (order != nullptr) {
      int32_t begin, end;
      OrderRun(table, order, h, &begin, &end);
      for (int32_t k = begin; k < end; ++k) {
        const CfNode* child = table->entries[order[k]].child;
        if (CfNamesMatch(CfName(child), child->name_length, name, n)) return order[k];
      }
      return -1;
    }
    for (int32_t i = 0; i < table->count; ++i) {
      if (table->entries[i].id != h) continue;
      const CfNode* child = table->entries[i].child;
      if (CfNamesMatch(CfName(child), child->name_length, name, n)) return i;
    }
    return -1;
  }
  int32_t i = hints != nullptr ? hints->Recall(table, h) : -1;
  if (i < 0) {
    i = SeekFirstId(table, h);
    if (hints != nullptr && i < table->count && table->entries[i].id == h) hints->Remember(h, i);
  }
  for (; i < table->count && table->entries[i].id == h; ++i) {
    const CfNode* child = table->entries[i].child;
    if (CfNamesMatch(CfName(child), child->name_length, name, n)) return i;
  }
  return -1;
}

int32_t FindChildById(const CfNode* node, uint32_t id, int32_t occurrence) {
  CfChildTable* table = CfChildren(node);
  if (!table->sorted) return UnsortedFind(table, id, occurrence);
  const int32_t first = FindFirstId(table, id);
  if (first < 0) return -1;
  if (occurrence == 0) return first;
  if (occurrence < 0) return UpperBound(table, id) - 1;
  const int64_t pos = static_cast<int64_t>(first) + occurrence;
  if (pos < table->count && table->entries[pos].id == id) return static_cast<int32_t>(pos);
  return -1;
}

}  // namespace orvo::store
