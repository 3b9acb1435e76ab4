#include "store/node_storage.h"

#include <atomic>
#include <cstdlib>
#include <cstring>

#if ORVO_POISON_CARVED
#include <sanitizer/asan_interface.h>
#define ORVO_UNPOISONED_ACCESS __attribute__((no_sanitize_address))
#else
#define ORVO_UNPOISONED_ACCESS
#endif

namespace {

constexpr size_t kOriginSize = 4;
constexpr uint32_t kHeapOrigin = 0;
// A block taken when a reservation runs out; larger pieces go to the heap.
constexpr size_t kSpareBlock = 64 * 1024;
// Blocks stay below 4 GiB so that an origin word reaches back to the start.
constexpr size_t kMaxBlockLimit = size_t{1} << 30;
constexpr size_t kMinBlockLimit = 4 * 1024;

std::atomic<size_t> block_limit{kMaxBlockLimit};

// The words before a piece, read and written byte by byte: in a poisoning
// build they lie in poisoned room, which only these accesses may touch.
ORVO_UNPOISONED_ACCESS inline uint32_t LoadWord(const void* at) {
  const unsigned char* b = static_cast<const unsigned char*>(at);
  return static_cast<uint32_t>(b[0]) | static_cast<uint32_t>(b[1]) << 8 |
         static_cast<uint32_t>(b[2]) << 16 | static_cast<uint32_t>(b[3]) << 24;
}

ORVO_UNPOISONED_ACCESS inline void StoreWord(void* at, uint32_t v) {
  unsigned char* b = static_cast<unsigned char*>(at);
  b[0] = static_cast<unsigned char>(v);
  b[1] = static_cast<unsigned char>(v >> 8);
  b[2] = static_cast<unsigned char>(v >> 16);
  b[3] = static_cast<unsigned char>(v >> 24);
}

inline uint32_t OriginOf(const void* piece) {
  return LoadWord(static_cast<const char*>(piece) - kOriginSize);
}

inline void SetOrigin(void* piece, uint32_t origin) {
  StoreWord(static_cast<char*>(piece) - kOriginSize, origin);
}

#if ORVO_POISON_CARVED
// A carved piece's size (the bytes it may be used for) sits before its origin
// word.
inline uint32_t CarvedSizeOf(const void* piece) {
  return LoadWord(static_cast<const char*>(piece) - 2 * kOriginSize);
}
inline void SetCarvedSize(void* piece, size_t size) {
  StoreWord(static_cast<char*>(piece) - 2 * kOriginSize, static_cast<uint32_t>(size));
}
inline void Poison(void* at, size_t n) { ASAN_POISON_MEMORY_REGION(at, n); }
inline void Unpoison(void* at, size_t n) { ASAN_UNPOISON_MEMORY_REGION(at, n); }
#else
inline void Poison(void*, size_t) {}
inline void Unpoison(void*, size_t) {}
#endif

std::atomic<int64_t> live_blocks{0};
std::atomic<int64_t> live_block_bytes{0};

inline size_t RoundUp(size_t n, size_t to) { return (n + to - 1) / to * to; }

}  // namespace

// Invariant: live counts the block's pieces not yet released, plus one while
// a carver still carves from it; bytes is the block's size, its header
// included.
struct CfBlockCarver::Block {
  uint32_t live;
  uint32_t bytes;
};

namespace {

void DropBlockReference(void* block_start) {
  uint32_t live;
  std::memcpy(&live, block_start, sizeof(live));
  if (--live == 0) {
    uint32_t bytes;
    std::memcpy(&bytes, static_cast<char*>(block_start) + sizeof(live), sizeof(bytes));
    std::free(block_start);
    live_blocks.fetch_sub(1, std::memory_order_relaxed);
    live_block_bytes.fetch_sub(bytes, std::memory_order_relaxed);
    return;
  }
  std::memcpy(block_start, &live, sizeof(live));
}

}  // namespace

namespace orvo::store {

size_t CfBlockLimit() { return block_limit.load(std::memory_order_relaxed); }

size_t CfSetBlockLimitForTesting(size_t bytes) {
  if (bytes < kMinBlockLimit) bytes = kMinBlockLimit;
  if (bytes > kMaxBlockLimit) bytes = kMaxBlockLimit;
  return block_limit.exchange(bytes, std::memory_order_relaxed);
}

void* CfAllocatePiece(size_t size) {
  if (size > SIZE_MAX - kCfPieceAlign) return nullptr;
  char* p = static_cast<char*>(std::malloc(kCfPieceAlign + size));
  if (p == nullptr) return nullptr;
  SetOrigin(p + kCfPieceAlign, kHeapOrigin);
  return p + kCfPieceAlign;
}

void CfReleasePiece(void* piece) {
  if (piece == nullptr) return;
  const uint32_t origin = OriginOf(piece);
  if (origin == kHeapOrigin) {
    std::free(static_cast<char*>(piece) - kCfPieceAlign);
    return;
  }
#if ORVO_POISON_CARVED
  Poison(piece, CarvedSizeOf(piece));
#endif
  DropBlockReference(static_cast<char*>(piece) - origin);
}

bool CfIsCarvedPiece(const void* piece) { return OriginOf(piece) != kHeapOrigin; }

int64_t CfLiveBlocks() { return live_blocks.load(std::memory_order_relaxed); }

int64_t CfLiveBlockBytes() { return live_block_bytes.load(std::memory_order_relaxed); }

void* CfResizePiece(void* piece, size_t old_size, size_t new_size) {
  if (OriginOf(piece) == kHeapOrigin) {
    if (new_size > SIZE_MAX - kCfPieceAlign) return nullptr;
    char* p = static_cast<char*>(
        std::realloc(static_cast<char*>(piece) - kCfPieceAlign, kCfPieceAlign + new_size));
    return p == nullptr ? nullptr : p + kCfPieceAlign;
  }
  if (new_size <= old_size) {  // the block keeps the bytes anyway
    Poison(static_cast<char*>(piece) + new_size, old_size - new_size);
#if ORVO_POISON_CARVED
    SetCarvedSize(piece, new_size);
#endif
    return piece;
  }
  void* moved = CfAllocatePiece(new_size);
  if (moved == nullptr) return nullptr;
  std::memcpy(moved, piece, old_size);
  CfReleasePiece(piece);
  return moved;
}

}  // namespace orvo::store

using orvo::store::CfAllocatePiece;
using orvo::store::CfBlockLimit;

CfBlockCarver::~CfBlockCarver() {
  if (block_ != nullptr) DropBlockReference(block_);
}

bool CfBlockCarver::Reserve(size_t bytes) {
  static_assert(sizeof(Block) % kCfPieceAlign == 0, "pieces after the header start aligned");
  static_assert(sizeof(Block) % kSlotAlign == 0, "used_ stays a multiple of kSlotAlign");
  const size_t limit = CfBlockLimit();
  if (bytes > limit) bytes = limit;
  const size_t size = sizeof(Block) + bytes;
  Block* block = static_cast<Block*>(std::malloc(size));
  if (block == nullptr) return false;
  live_blocks.fetch_add(1, std::memory_order_relaxed);
  live_block_bytes.fetch_add(static_cast<int64_t>(size), std::memory_order_relaxed);
  block->live = 1;
  block->bytes = static_cast<uint32_t>(size);
  Poison(reinterpret_cast<char*>(block) + sizeof(Block), bytes);
  if (block_ != nullptr) DropBlockReference(block_);
  block_ = block;
  used_ = sizeof(Block);
  size_ = size;
  return true;
}

void* CfBlockCarver::CarveElsewhere(size_t size, size_t align) {
  // Out of reserved room. A piece too large for a block, or that would take
  // much of a spare block, goes to the heap alone.
  const size_t limit = CfBlockLimit();
  const size_t spare = kSpareBlock < limit ? kSpareBlock : limit;
  if (size > spare || CarvedSize(size, align) > spare / 4) return CfAllocatePiece(size);
  if (!Reserve(spare)) return nullptr;
  const size_t start = RoundUp(used_ + kPrefix, align);
  return Take(start, RoundUp(start + size, kSlotAlign), size);
}

void* CfBlockCarver::Take(size_t start, size_t end, size_t size) {
  char* piece = reinterpret_cast<char*>(block_) + start;
  SetOrigin(piece, static_cast<uint32_t>(start));
#if ORVO_POISON_CARVED
  SetCarvedSize(piece, size);
#endif
  Unpoison(piece, size);
  ++block_->live;
  used_ = end;
  return piece;
}
