// Child tables: the children of a branch, in table order.
//
// Order. The store's own insertions keep a table sorted by child id
// (unsigned). A table read from a file keeps the file's order, and another
// program may have written it out of order, or with one id in several places
// apart: such a table is marked not sorted (CfChildTable::sorted is false
// once an entry arrives with an id below the one before it).
//
// Lookups have one answer, defined on table order alone, whatever the order:
//   - by id with occurrence k >= 0: the (k+1)-th entry with the id, counted
//     from the start of the table; with a negative occurrence: the last one;
//   - by name: the first entry, from the start of the table, whose id is the
//     name's hash and whose child's name matches;
//   - the occurrence of an entry: the number of entries with its id before it,
//     so that the id lookup with that occurrence finds that entry again.
// In a sorted table the entries with one id stand together, so these are the
// answers of a binary search for the first of them, which is how a sorted
// table is searched (names also through the caller's position hints). A
// table that is not sorted is searched through its order index instead, the
// positions of its entries sorted by id and then by position, which the first
// lookup after the table was read or copied sets up and every insertion and
// removal keeps (4 bytes an entry); name and id lookups share it and never use
// hints. Without memory for the index they scan the table from its start, to
// the same answers.
// Insertions into a table that is not sorted go right after the last entry
// with the same id (or, asked to go first, right in front of the first one),
// and at the end for an id it does not hold.
//
// Capacity rule: a table starts with capacity 0 and no storage; a full table
// grows by 16 entries; a removal that starts with count n at capacity m first
// shrinks by 16 when n - 1 < m - 24 and n < 3 * m / 4.
#ifndef ORVO_STORE_CHILD_TABLE_H_
#define ORVO_STORE_CHILD_TABLE_H_

#include "store/child_hints.h"
#include "store/node_record.h"

namespace orvo::store {

// Makes |table| an empty sorted table with room for |capacity| entries at
// |entries| (null with 0: no storage yet), a piece of node storage that the
// table then owns. Every table starts here: NewChildTable's on the heap, the
// file reader's carved from its block.
void InitChildTable(CfChildTable* table, CfChildEntry* entries, int32_t capacity);
// A new empty table (capacity 0), or nullptr when memory runs out.
CfChildTable* NewChildTable();
// Frees the table's storage and the table (not the children).
void DeleteChildTable(CfChildTable* table);

// Inserts after the entries with the same id, or in front of them when
// |before|: at the sorted position in a sorted table (see above for one that
// is not). Returns the index used, or -1 when storage is exhausted.
int32_t InsertChild(CfChildTable* table, CfChildEntry entry, bool before);

// Inserts at the end regardless of order; an entry whose id is below the
// last one's marks the table not sorted. Returns the index, or -1.
// Used where the entries arrive in table order (a copied table, a file read).
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

}  // namespace orvo::store

// The lookups below may set up the order index of a table that is not sorted
// (see above): like every change to a table, under the owner's lock.

namespace orvo::store {

// Index of the first entry with |id|, or -1.
int32_t FindFirstId(CfChildTable* table, uint32_t id);

// The occurrence of the entry at |index|: how many entries before it carry
// its id. REQUIRES: 0 <= index < table->count.
int32_t OccurrenceAt(CfChildTable* table, int32_t index);

// Index of the matching child of a branch |node|, or -1. *covered receives
// the number of units the name's first component spans (also when nothing
// matches). |hints| (may be null) are the caller's for this node's table:
// in a sorted table consulted first and told what a search finds; unused in
// one that is not. REQUIRES: CfIsBranch(node).
int32_t FindChildByName(const CfNode* node, const CfChar* name, int limit, int* covered,
                        CfChildHints* hints = nullptr);

// Index of a child with |id|: occurrence 0 the first, k > 0 the k-th with
// the id after it, negative the last. -1 when there is none.
// REQUIRES: CfIsBranch(node).
int32_t FindChildById(const CfNode* node, uint32_t id, int32_t occurrence);

}  // namespace orvo::store

#endif  // ORVO_STORE_CHILD_TABLE_H_
