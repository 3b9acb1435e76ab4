#include "store/node_storage.h"

#include <atomic>
#include <cstdlib>
#include <cstring>

namespace {

constexpr size_t kOriginSize = 4;
constexpr uint32_t kHeapOrigin = 0;
// A block taken when a reservation runs out; larger pieces go to the heap.
constexpr size_t kSpareBlock = 64 * 1024;

inline uint32_t OriginOf(const void* piece) {
  uint32_t origin;
  std::memcpy(&origin, static_cast<const char*>(piece) - kOriginSize, sizeof(origin));
  return origin;
}

inline void SetOrigin(void* piece, uint32_t origin) {
  std::memcpy(static_cast<char*>(piece) - kOriginSize, &origin, sizeof(origin));
}

std::atomic<int64_t> live_blocks{0};

inline size_t RoundUp(size_t n, size_t to) { return (n + to - 1) / to * to; }

}  // namespace

// Invariant: live counts the block's pieces not yet released, plus one while
// a carver still carves from it.
struct CfBlockCarver::Block {
  uint32_t live;
  uint32_t reserved;
};

namespace {

void DropBlockReference(void* block_start) {
  uint32_t live;
  std::memcpy(&live, block_start, sizeof(live));
  if (--live == 0) {
    std::free(block_start);
    live_blocks.fetch_sub(1, std::memory_order_relaxed);
    return;
  }
  std::memcpy(block_start, &live, sizeof(live));
}

}  // namespace

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
  DropBlockReference(static_cast<char*>(piece) - origin);
}

bool CfIsCarvedPiece(const void* piece) { return OriginOf(piece) != kHeapOrigin; }

int64_t CfLiveBlocks() { return live_blocks.load(std::memory_order_relaxed); }

void* CfResizePiece(void* piece, size_t old_size, size_t new_size) {
  if (OriginOf(piece) == kHeapOrigin) {
    if (new_size > SIZE_MAX - kCfPieceAlign) return nullptr;
    char* p = static_cast<char*>(
        std::realloc(static_cast<char*>(piece) - kCfPieceAlign, kCfPieceAlign + new_size));
    return p == nullptr ? nullptr : p + kCfPieceAlign;
  }
  if (new_size <= old_size) return piece;  // the block keeps the bytes anyway
  void* moved = CfAllocatePiece(new_size);
  if (moved == nullptr) return nullptr;
  std::memcpy(moved, piece, old_size);
  CfReleasePiece(piece);
  return moved;
}

CfBlockCarver::~CfBlockCarver() {
  if (block_ != nullptr) DropBlockReference(block_);
}

size_t CfBlockCarver::CarvedSize(size_t size, size_t align) {
  // used_ stays a multiple of 4: the origin word and any padding for an
  // 8-byte start take at most |align| bytes.
  return (align > kOriginSize ? align : kOriginSize) + RoundUp(size, kOriginSize);
}

bool CfBlockCarver::Reserve(size_t bytes) {
  static_assert(sizeof(Block) % kCfPieceAlign == 0, "pieces after the header start aligned");
  if (bytes > kMaxBlock) bytes = kMaxBlock;
  const size_t size = sizeof(Block) + bytes;
  Block* block = static_cast<Block*>(std::malloc(size));
  if (block == nullptr) return false;
  live_blocks.fetch_add(1, std::memory_order_relaxed);
  block->live = 1;
  block->reserved = 0;
  if (block_ != nullptr) DropBlockReference(block_);
  block_ = block;
  used_ = sizeof(Block);
  size_ = size;
  return true;
}

void* CfBlockCarver::CarveElsewhere(size_t size, size_t align) {
  if (size > kMaxBlock) return nullptr;
  // Out of reserved room: a piece that would take much of a spare block goes
  // to the heap alone.
  if (CarvedSize(size, align) > kSpareBlock / 4) return CfAllocatePiece(size);
  if (!Reserve(kSpareBlock)) return nullptr;
  const size_t start = RoundUp(used_ + kOriginSize, align);
  return Take(start, RoundUp(start + size, kOriginSize));
}

void* CfBlockCarver::Take(size_t start, size_t end) {
  char* piece = reinterpret_cast<char*>(block_) + start;
  SetOrigin(piece, static_cast<uint32_t>(start));
  ++block_->live;
  used_ = end;
  return piece;
}
