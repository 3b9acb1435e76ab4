// Storage for the pieces of a node tree: node records, child tables and
// their entry arrays.
//
// A piece comes either from the heap, alone, or carved from a block that the
// file reader takes for a whole tree in one allocation. Every piece is
// preceded by a 32-bit origin word: 0 for a heap piece, else the distance back
// to the start of its block. A block counts its live pieces and goes when the
// last one is released, so single pieces of a loaded tree are freed, replaced
// and grown like heap pieces; the bytes of a released carved piece are only
// given back with its block.
//
// In AddressSanitizer builds a block's room is poisoned until it is carved,
// and a piece again when it is released or shrinks, so that a use after
// release or a write past a piece is reported inside a block as on the heap.
// Every carved piece then starts at 8 and is preceded by a poisoned gap and
// its size, so that no two pieces share a sanitizer granule.
//
// Nothing here locks: a tree's pieces are touched under its owner's lock,
// and a block never holds pieces of two trees.
#ifndef ORVO_STORE_NODE_STORAGE_H_
#define ORVO_STORE_NODE_STORAGE_H_

#include <cstddef>
#include <cstdint>

#if defined(__SANITIZE_ADDRESS__)
#define ORVO_POISON_CARVED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define ORVO_POISON_CARVED 1
#endif
#endif
#if !defined(ORVO_POISON_CARVED)
#define ORVO_POISON_CARVED 0
#endif

// Every piece starts at this alignment (a carved node record may start at 4).
constexpr size_t kCfPieceAlign = alignof(void*) > 4 ? alignof(void*) : 4;

namespace orvo::store {

// A heap piece of |size| bytes, or nullptr when memory runs out.
void* CfAllocatePiece(size_t size);

// Gives a piece back (to the heap, or to its block). Null is ignored.
void CfReleasePiece(void* piece);

// Moves a piece of |old_size| bytes to |new_size| bytes, keeping the first
// min(old_size, new_size) bytes; returns the piece's new address, or nullptr
// with the piece unchanged when memory runs out. A carved piece that shrinks
// stays where it is.
// REQUIRES: |piece| is not null; new_size > 0.
void* CfResizePiece(void* piece, size_t old_size, size_t new_size);

// Whether |piece| was carved from a block.
bool CfIsCarvedPiece(const void* piece);

// Blocks taken and not yet given back, and their bytes, in the whole process
// (for tests).
int64_t CfLiveBlocks();
int64_t CfLiveBlockBytes();

// The most bytes of pieces a block holds (1 GiB unless a test lowered it).
size_t CfBlockLimit();
// Sets the block limit to |bytes| (kept between 4 KiB and 1 GiB) and returns
// the one it replaces; for tests that need a piece too large for a block
// without a file of a gigabyte. REQUIRES: no carver is carving.
size_t CfSetBlockLimitForTesting(size_t bytes);

}  // namespace orvo::store

// Carves the pieces of one tree that is being read: from one block sized for
// the whole tree when the reader knows the total, from further blocks when it
// runs out. A piece too large for a block comes from the heap: it is refused
// only when the heap has no room for it either.
// The carver holds its current block until it is destroyed; after that, each
// block lives as long as its pieces.
class CfBlockCarver {
 public:
  CfBlockCarver() = default;
  ~CfBlockCarver();
  CfBlockCarver(const CfBlockCarver&) = delete;
  CfBlockCarver& operator=(const CfBlockCarver&) = delete;

  // Room for pieces of |bytes| in all, as measured by CarvedSize, or for as
  // many as the block limit allows. False when memory runs out (nothing is
  // taken).
  bool Reserve(size_t bytes);

  // A piece of |size| bytes starting at |align| (4 or kCfPieceAlign), or
  // nullptr when memory runs out.
  void* Carve(size_t size, size_t align) {
    if (block_ == nullptr || size > size_) return CarveElsewhere(size, align);
    const size_t start = (used_ + kPrefix + align - 1) & ~(align - 1);
    const size_t end = (start + size + kSlotAlign - 1) & ~(kSlotAlign - 1);
    if (end > size_) return CarveElsewhere(size, align);
    return Take(start, end, size);
  }

  // Room a piece of |size| bytes at |align| takes in a block, what precedes
  // it included.
  static size_t CarvedSize(size_t size, size_t align) {
    return kPrefix + (align > kSlotAlign ? align - kSlotAlign : 0) +
           ((size + kSlotAlign - 1) & ~(kSlotAlign - 1));
  }

 private:
  struct Block;
  // Pieces end on a multiple of kSlotAlign; kPrefix bytes before a piece hold
  // its origin word (and, when poisoning, a gap and its size).
  static constexpr size_t kSlotAlign = ORVO_POISON_CARVED ? 8 : 4;
  static constexpr size_t kPrefix = ORVO_POISON_CARVED ? 16 : 4;
  static_assert(kCfPieceAlign <= 8, "a poisoned piece starts at 8");
  void* CarveElsewhere(size_t size, size_t align);
  // Marks bytes [start, end) of the current block as one piece of |size|
  // bytes starting at |start|.
  void* Take(size_t start, size_t end, size_t size);
  Block* block_ = nullptr;
  size_t used_ = 0;  // bytes of block_ in use, its header included
  size_t size_ = 0;  // bytes of block_
};

#endif  // ORVO_STORE_NODE_STORAGE_H_
