// Child tables: sorted by child id, searched by binary search.
//
// Capacity rule: a table starts with capacity 0 and no storage; a full table
// grows by 16 entries; a removal that starts with count n at capacity m first
// shrinks by 16 when n - 1 < m - 24 and n < 3 * m / 4.
#ifndef ORVO_STORE_CHILD_TABLE_H_
#define ORVO_STORE_CHILD_TABLE_H_

#include "store/child_hints.h"
#include "store/node.h"

// A new empty table (capacity 0), or nullptr when memory runs out.
CfChildTable* NewChildTable();
// Frees the table's storage and the table (not the children).
void DeleteChildTable(CfChildTable* table);

// Inserts at the sorted position: after the entries with the same id, or in
// front of them when |before|. Returns the index used, or -1 when storage is
// exhausted.
int32_t InsertChild(CfChildTable* table, CfChildEntry entry, bool before);

// Inserts at the end regardless of order. Returns the index, or -1.
// REQUIRES: the entries arrive in table order (a copied table, a file read).
int32_t AppendChild(CfChildTable* table, CfChildEntry entry);

// The capacity that |count| insertions into an empty table reach: the next
// multiple of 16.
int64_t ChildCapacityFor(int64_t count);

// Makes room for |count| entries in one step, with the capacity that |count|
// insertions into the table as it is would reach (the next multiple of 16),
// so that the next insertions need no storage. False when the storage cannot
// be had (the table is unchanged).
bool ReserveChildren(CfChildTable* table, int32_t count);

// Gives back storage that a reservation took beyond what the entries in use
// would have grown to (the next multiple of 16 above the count, 0 for an
// empty table). A shrink whose storage cannot be had keeps the larger one.
void TrimChildren(CfChildTable* table);

// Removes one entry; an index out of range removes the last one. False for an
// empty table or when the storage for a shrink cannot be had (entry kept).
bool RemoveChildAt(CfChildTable* table, int32_t index);

// Index of the first entry with |id|, or -1.
int32_t FindFirstId(const CfChildTable* table, uint32_t id);

// Index of the matching child of a branch |node|, or -1. *covered receives
// the number of units the name's first component spans (also when nothing
// matches). |hints| (may be null) are the caller's for this node's table:
// consulted first and told what a search finds. REQUIRES: CfIsBranch(node).
int32_t FindChildByName(const CfNode* node, const CfChar* name, int limit, int* covered,
                        CfChildHints* hints = nullptr);

// Index of a child with |id|: occurrence 0 the first, k > 0 the k-th after
// it, negative the last. -1 when there is none. REQUIRES: CfIsBranch(node).
int32_t FindChildById(const CfNode* node, uint32_t id, int32_t occurrence);

#endif  // ORVO_STORE_CHILD_TABLE_H_
