#include "store/node_storage.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "store/child_table.h"
#include "store/format.h"
#include "store/node.h"

using orvo::store::AppendChild;
using orvo::store::CfAllocatePiece;
using orvo::store::CfBlockLimit;
using orvo::store::CfChildren;
using orvo::store::CfIsBranch;
using orvo::store::CfIsCarvedPiece;
using orvo::store::CfLiveBlocks;
using orvo::store::CfRecordBytes;
using orvo::store::CfReleasePiece;
using orvo::store::CfResizePiece;
using orvo::store::CfSetBlockLimitForTesting;
using orvo::store::CreateNode;
using orvo::store::FreeNodeTree;
using orvo::store::InsertChild;
using orvo::store::ParseNode;
using orvo::store::RemoveChildAt;
using orvo::store::SerializeNode;

namespace {

struct Piece {
  uint8_t* bytes;
  size_t size;
  uint8_t tag;
  bool carved;
};

uint8_t PatternByte(uint8_t tag, size_t i) { return static_cast<uint8_t>(tag * 131 + i * 31); }

void Fill(const Piece& p) {
  for (size_t i = 0; i < p.size; ++i) p.bytes[i] = PatternByte(p.tag, i);
}

// The first |n| bytes of |p| still hold its pattern.
bool Holds(const Piece& p, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    if (p.bytes[i] != PatternByte(p.tag, i)) return false;
  }
  return true;
}

size_t PieceSize(std::mt19937* rng) {
  switch ((*rng)() % 8) {
    case 0:
      return 1 + (*rng)() % 3;
    case 1:
      return 16400 + (*rng)() % 8000;  // past what a spare block takes
    case 2:
      return 512 + (*rng)() % 4096;
    default:
      return 4 + (*rng)() % 120;
  }
}

// Pieces carved from a reservation that is often too small (so spare blocks
// and lone heap pieces take over), heap pieces, moves and releases in any
// order, the carver gone at any point: every live piece keeps its bytes, and
// the blocks go with their last piece, not before.
TEST(NodeStorageTest, PiecesKeepTheirBytesAndBlocksGoWithTheirLastPiece) {
  for (uint32_t seed = 0; seed < 200; ++seed) {
    SCOPED_TRACE(seed);
    std::mt19937 rng(seed);
    const int64_t blocks_before = CfLiveBlocks();
    std::vector<Piece> live;
    uint8_t next_tag = 0;
    auto carved_left = [&] {
      return std::any_of(live.begin(), live.end(), [](const Piece& p) { return p.carved; });
    };
    {
      CfBlockCarver carver;
      if (rng() % 4 != 0) {
        ASSERT_TRUE(carver.Reserve(rng() % 6000));
      }
      const int carver_steps = static_cast<int>(rng() % 200);
      for (int step = 0; step < 200; ++step) {
        const uint32_t op = rng() % 10;
        if (op <= 4 && step < carver_steps) {
          const size_t align = rng() % 2 == 0 ? 4 : kCfPieceAlign;
          const size_t size = PieceSize(&rng);
          Piece p{static_cast<uint8_t*>(carver.Carve(size, align)), size, ++next_tag, false};
          ASSERT_NE(p.bytes, nullptr);
          ASSERT_EQ(reinterpret_cast<uintptr_t>(p.bytes) % align, 0u);
          p.carved = CfIsCarvedPiece(p.bytes);
          Fill(p);
          live.push_back(p);
        } else if (op <= 5) {
          const size_t size = PieceSize(&rng);
          Piece p{static_cast<uint8_t*>(CfAllocatePiece(size)), size, ++next_tag, false};
          ASSERT_NE(p.bytes, nullptr);
          ASSERT_FALSE(CfIsCarvedPiece(p.bytes));
          Fill(p);
          live.push_back(p);
        } else if (op <= 7 && !live.empty()) {
          Piece& p = live[rng() % live.size()];
          const size_t size = PieceSize(&rng);
          uint8_t* moved = static_cast<uint8_t*>(CfResizePiece(p.bytes, p.size, size));
          ASSERT_NE(moved, nullptr);
          p.bytes = moved;
          ASSERT_TRUE(Holds(p, std::min(p.size, size))) << "a resize lost bytes";
          p.size = size;
          p.carved = CfIsCarvedPiece(moved);
          Fill(p);
        } else if (!live.empty()) {
          const size_t i = rng() % live.size();
          CfReleasePiece(live[i].bytes);
          live.erase(live.begin() + static_cast<std::ptrdiff_t>(i));
        }
        if (step % 8 == 0) {
          for (const Piece& p : live) ASSERT_TRUE(Holds(p, p.size)) << "piece " << int(p.tag);
        }
      }
    }
    std::shuffle(live.begin(), live.end(), rng);
    while (!live.empty()) {
      EXPECT_EQ(CfLiveBlocks() > blocks_before, carved_left());
      CfReleasePiece(live.back().bytes);
      live.pop_back();
      if (live.size() % 8 == 0) {
        for (const Piece& p : live) ASSERT_TRUE(Holds(p, p.size));
      }
    }
    EXPECT_EQ(CfLiveBlocks(), blocks_before);
  }
}

// A tree read from a file lives in a block; edits that free, move and grow
// its pieces one by one leave nothing behind when the tree goes.
TEST(NodeStorageTest, AReadTreeGivesBackItsBlockWhateverWasEdited) {
  const int64_t blocks_before = CfLiveBlocks();
  CfNode* made = CreateNode(u"Root", -1, 0, nullptr, 0, 1);
  ASSERT_NE(made, nullptr);
  for (int i = 0; i < 40; ++i) {
    const std::u16string name = u"k" + std::u16string(1, static_cast<char16_t>(u'a' + i % 26)) +
                                std::u16string(static_cast<size_t>(i), u'x');
    CfNode* child = CreateNode(name.c_str(), -1, CfTypeWString, u"value", -1, i % 3 == 0 ? 1 : 0);
    ASSERT_NE(child, nullptr);
    ASSERT_GE(AppendChild(CfChildren(made), {static_cast<uint32_t>(i), child}), 0);
  }
  std::vector<uint8_t> body(SerializeNode(made, nullptr));
  uint8_t* out = body.data();
  ASSERT_EQ(SerializeNode(made, &out, body.size()), body.size());
  FreeNodeTree(made, nullptr);

  const uint8_t* cursor = body.data();
  CfNode* root = ParseNode(&cursor, body.data() + body.size());
  ASSERT_NE(root, nullptr);
  EXPECT_EQ(CfLiveBlocks(), blocks_before + 1);
  CfChildTable* table = CfChildren(root);
  ASSERT_EQ(table->count, 40);
  // Freed records, a table that shrinks in place, then grows past what was
  // reserved (its entries move to the heap).
  for (int i = 0; i < 30; ++i) {
    CfNode* gone = table->entries[0].child;
    ASSERT_TRUE(RemoveChildAt(table, 0));
    FreeNodeTree(gone, nullptr);
  }
  for (int i = 0; i < 60; ++i) {
    CfNode* leaf = CreateNode(u"n", -1, 0, nullptr, 0, 0);
    ASSERT_NE(leaf, nullptr);
    ASSERT_GE(InsertChild(table, {1000u + static_cast<uint32_t>(i), leaf}, false), 0);
  }
  EXPECT_EQ(table->count, 70);
  EXPECT_EQ(table->capacity, 80);
  EXPECT_EQ(CfLiveBlocks(), blocks_before + 1);
  FreeNodeTree(root, nullptr);
  EXPECT_EQ(CfLiveBlocks(), blocks_before);
}

}  // namespace

namespace {

// A piece larger than the block limit, carved before or after a reservation,
// is a heap piece that keeps its bytes; the pieces around it stay carved.
TEST(NodeStorageTest, APieceTooLargeForABlockIsAHeapPiece) {
  const size_t previous = CfSetBlockLimitForTesting(16 * 1024);
  const size_t limit = CfBlockLimit();
  EXPECT_EQ(limit, 16u * 1024);
  for (bool reserved : {false, true}) {
    CfBlockCarver carver;
    if (reserved) {
      ASSERT_TRUE(carver.Reserve(limit * 4));
    }
    void* before = carver.Carve(40, 4);
    Piece big{static_cast<uint8_t*>(carver.Carve(limit + 1, kCfPieceAlign)), limit + 1, 7, false};
    void* after = carver.Carve(40, kCfPieceAlign);
    ASSERT_NE(before, nullptr);
    ASSERT_NE(big.bytes, nullptr);
    ASSERT_NE(after, nullptr);
    EXPECT_TRUE(CfIsCarvedPiece(before));
    EXPECT_FALSE(CfIsCarvedPiece(big.bytes));
    EXPECT_TRUE(CfIsCarvedPiece(after));
    Fill(big);
    EXPECT_TRUE(Holds(big, big.size));
    CfReleasePiece(before);
    CfReleasePiece(big.bytes);
    CfReleasePiece(after);
  }
  CfSetBlockLimitForTesting(previous);
}

#if ORVO_POISON_CARVED
// A tree read from a body, and the node of its first child.
struct ReadTree {
  ReadTree() {
    CfNode* made = CreateNode(u"Root", -1, 0, nullptr, 0, 1);
    for (int i = 0; i < 3; ++i) {
      CfNode* child = CreateNode(u"abc", -1, CfTypeString, "value", -1, 0);
      AppendChild(CfChildren(made), {static_cast<uint32_t>(i + 1), child});
    }
    body.resize(SerializeNode(made, nullptr));
    uint8_t* out = body.data();
    SerializeNode(made, &out, body.size());
    FreeNodeTree(made, nullptr);
    const uint8_t* cursor = body.data();
    root = ParseNode(&cursor, body.data() + body.size());
  }
  ~ReadTree() { FreeNodeTree(root, nullptr); }
  CfNode* First() const { return CfChildren(root)->entries[0].child; }

  std::vector<uint8_t> body;
  CfNode* root = nullptr;
};

// In a sanitizer build the pieces of a block are poisoned until carved and
// again once released: a use after release, or a write past a record into
// the next one, is reported inside a block as it is on the heap.
TEST(NodeStorageDeathTest, AReleasedCarvedRecordIsPoisoned) {
  ReadTree tree;
  ASSERT_NE(tree.root, nullptr);
  CfNode* first = tree.First();
  ASSERT_TRUE(CfIsCarvedPiece(first));
  ASSERT_TRUE(RemoveChildAt(CfChildren(tree.root), 0));
  FreeNodeTree(first, nullptr);  // its block lives on with the other records
  EXPECT_DEATH(
      {
        volatile uint8_t flags = first->flags;
        (void)flags;
      },
      "use-after-poison");
}

TEST(NodeStorageDeathTest, AWritePastACarvedRecordIsReported) {
  ReadTree tree;
  ASSERT_NE(tree.root, nullptr);
  CfNode* first = tree.First();
  ASSERT_TRUE(CfIsCarvedPiece(first));
  volatile uint8_t* end = reinterpret_cast<uint8_t*>(first) +
                          CfRecordBytes(first->name_length, first->value_length, CfIsBranch(first));
  end[-1] = end[-1];  // the record's own last byte
  EXPECT_DEATH(end[0] = 1, "use-after-poison");
}

TEST(NodeStorageDeathTest, EntriesGivenBackByAShrinkArePoisoned) {
  ReadTree tree;
  ASSERT_NE(tree.root, nullptr);
  CfChildTable* table = CfChildren(tree.root);
  ASSERT_TRUE(CfIsCarvedPiece(table->entries));
  ASSERT_EQ(table->capacity, 16);
  volatile CfChildEntry* entries = table->entries;
  entries[15].id = 0;  // in the table's room
  ASSERT_TRUE(CfResizePiece(table->entries, 16 * sizeof(CfChildEntry), 4 * sizeof(CfChildEntry)));
  table->capacity = 4;
  EXPECT_DEATH(entries[4].id = 0, "use-after-poison");
}
#endif

}  // namespace
