// The configuration file layout.
//
// A file is a 512-byte header followed by the body: the root's record, then
// each child's record followed by its own descendants (depth-first,
// pre-order). Every multi-byte field is little-endian.
//
// Header:
//   0 magic | 4 version | 8 commit mark | 12 header size | 16 reserved
//   | 20 body size | 24 checksum | 28 reserved | 32..507 zero
//   | 508 copy of the commit mark
// Node record:
//   0 name length n (units) | 1 flags | 2 value length v (bytes)
//   | 4 child count k (signed; 0 in a leaf record) | 8 name (2n bytes)
//   | 8+2n value (v bytes) | 8+2n+v child ids (4k bytes, branch records only)
#ifndef ORVO_STORE_FORMAT_H_
#define ORVO_STORE_FORMAT_H_

#include <cstddef>
#include <cstdint>

#include "store/node.h"

constexpr uint32_t kCfMagic = 0x4346464C;  // bytes 4C 46 46 43
// The version written; also the highest one read, and the first one whose
// body checksum is tested.
constexpr uint32_t kCfVersion = 0x10005;
constexpr uint32_t kCfHeaderSize = 512;

// Header field offsets.
constexpr size_t kCfMagicOffset = 0;
constexpr size_t kCfVersionOffset = 4;
constexpr size_t kCfCommitOffset = 8;
constexpr size_t kCfHeaderSizeOffset = 12;
constexpr size_t kCfReserved16Offset = 16;
constexpr size_t kCfBodySizeOffset = 20;
constexpr size_t kCfChecksumOffset = 24;
constexpr size_t kCfReserved28Offset = 28;
constexpr size_t kCfCommitCopyOffset = 508;
static_assert(kCfCommitCopyOffset + 4 == kCfHeaderSize, "the copy ends the header");

// Commit marks: the first header write of a save leaves the mark at 8 and its
// copy at 508 unequal; the final one sets both to kCfCommitDone.
constexpr uint32_t kCfCommitWriting = 1;
constexpr uint32_t kCfCommitDone = 2;

constexpr size_t kCfRecordFixedSize = 8;

// The header's fields, decoded.
struct CfHeaderFields {
  uint32_t magic;
  uint32_t version;
  uint32_t commit_mark;
  uint32_t header_size;
  uint32_t reserved16;
  uint32_t body_size;
  uint32_t checksum;
  uint32_t reserved28;
  uint32_t commit_mark_copy;
};

namespace orvo::store {

// REQUIRES: |header| holds kCfHeaderSize bytes.
void DecodeHeaderFields(const uint8_t* header, CfHeaderFields* fields);

// The body checksum: the sum of all bytes, each 0 to 255, wrapping at 2^32.
uint32_t CfChecksum(const uint8_t* data, size_t n);

// Returns the size of the records of |node| and all its descendants.
// With |cursor| null (or *cursor null) it only measures; otherwise it writes
// the records at *cursor, at most |room| bytes, and advances *cursor past
// them. Returns 0 on failure: no node, a body that does not fit 32 bits or
// |room|, or no memory for the walk. Walks without recursion.
uint32_t SerializeNode(const CfNode* node, uint8_t** cursor, size_t room = SIZE_MAX);

}  // namespace orvo::store

// A body made by CfSerializeBody, with the sums taken on the way.
struct CfBody {
  uint8_t* bytes = nullptr;  // from malloc: the caller frees it with std::free
  uint32_t size = 0;
  uint32_t checksum = 0;  // CfChecksum(bytes, size)
  uint64_t hash = 0;      // CfHash64Blocks(bytes, size, 0)
};

namespace orvo::store {

// Serialises |node| and all its descendants as SerializeNode does, in one
// walk, into a buffer that starts at |size_hint| bytes (a guess, such as the
// size of the body last read or written) and grows as needed; the checksum
// and the hash are taken over each block right after it is written. Returns
// false, with *out untouched, when SerializeNode would fail or memory runs
// out.
bool CfSerializeBody(const CfNode* node, size_t size_hint, CfBody* out);

}  // namespace orvo::store

// What a parse found, for reports.
struct CfParseStats {
  uint64_t nodes = 0;     // records read into the tree
  bool complete = false;  // false when reading stopped at a record it could not read
  // Reading stopped because memory ran out, not because of what the body
  // holds: the tree is not what the file holds, though the file may be whole.
  bool out_of_memory = false;
};

namespace orvo::store {

// Reads the record at *cursor and, for a branch record, its descendants, none
// of them past |end|. Returns the new subtree and moves *cursor past what was
// read, or returns nullptr with *cursor unchanged when the first record cannot
// be read. A record cannot be read when it starts at or past |end|, when its
// fixed fields, name, value or child ids run past |end|, when a branch record
// has a negative child count, or when CreateNode refuses it (a name with '<'
// or '>', no memory). Running out of memory (for a record, a child table or
// the walk) also stops reading and sets stats->out_of_memory. Reading stops at the first child
// record that cannot be read; every node read before it stays in the tree. A branch record with no
// children reads as a leaf; the key-bound bit is cleared; child ids and their
// order are kept as the file has them (a table out of order is marked not
// sorted, see child_table.h). Memory is reserved for the records up to the
// first one that cannot be read. Walks without recursion.
CfNode* ParseNode(const uint8_t** cursor, const uint8_t* end, CfParseStats* stats = nullptr);

}  // namespace orvo::store

#endif  // ORVO_STORE_FORMAT_H_
