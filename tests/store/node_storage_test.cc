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
