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
// Nothing here locks: a tree's pieces are touched under its owner's lock,
// and a block never holds pieces of two trees.
#ifndef ORVO_STORE_NODE_STORAGE_H_
#define ORVO_STORE_NODE_STORAGE_H_

#include <cstddef>
#include <cstdint>

// Every piece starts at this alignment (a carved node record may start at 4).
constexpr size_t kCfPieceAlign = alignof(void*) > 4 ? alignof(void*) : 4;

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

// Blocks taken and not yet given back, in the whole process (for tests).
int64_t CfLiveBlocks();

// Carves the pieces of one tree that is being read: from one block sized for
// the whole tree when the reader knows the total, from further blocks (or
// the heap, for a piece too large for a block) when it runs out.
// The carver holds its current block until it is destroyed; after that, each
// block lives as long as its pieces.
class CfBlockCarver {
 public:
  CfBlockCarver() = default;
  ~CfBlockCarver();
  CfBlockCarver(const CfBlockCarver&) = delete;
  CfBlockCarver& operator=(const CfBlockCarver&) = delete;

  // Room for pieces of |bytes| in all, as measured by CarvedSize. False when
  // memory runs out (nothing is taken).
  bool Reserve(size_t bytes);

  // A piece of |size| bytes starting at |align| (4 or kCfPieceAlign), or
  // nullptr when memory runs out.
  void* Carve(size_t size, size_t align) {
    const size_t start = (used_ + 4 + align - 1) & ~(align - 1);
    const size_t end = (start + size + 3) & ~size_t{3};
    if (block_ == nullptr || end > size_ || size > kMaxBlock) return CarveElsewhere(size, align);
    return Take(start, end);
  }

  // Room a piece of |size| bytes at |align| takes in a block, its origin word
  // included.
  static size_t CarvedSize(size_t size, size_t align);

 private:
  struct Block;
  // Blocks stay below 4 GiB so that an origin word reaches back to the start.
  static constexpr size_t kMaxBlock = size_t{1} << 30;
  void* CarveElsewhere(size_t size, size_t align);
  // Marks bytes [start, end) of the current block as one piece starting at
  // |start|.
  void* Take(size_t start, size_t end);
  Block* block_ = nullptr;
  size_t used_ = 0;  // bytes of block_ in use, its header included
  size_t size_ = 0;  // bytes of block_
};

#endif  // ORVO_STORE_NODE_STORAGE_H_
