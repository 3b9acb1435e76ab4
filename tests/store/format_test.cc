#include "store/format.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "store/child_table.h"
#include "store/coding.h"
#include "store/file_io.h"
#include "store/hash64.h"
#include "tests/testing/tree_util.h"

using orvo::store::AppendChild;
using orvo::store::CfChecksum;
using orvo::store::CfChildCount;
using orvo::store::CfChildren;
using orvo::store::CfHash64Blocks;
using orvo::store::CfIsBranch;
using orvo::store::CfName;
using orvo::store::CfSerializeBody;
using orvo::store::CfValue;
using orvo::store::DecodeFixed16;
using orvo::store::DecodeFixed32;
using orvo::store::EncodeFixed16;
using orvo::store::EncodeFixed32;
using orvo::store::FreeNodeRecord;
using orvo::store::FreeNodeTree;
using orvo::store::NewTree;
using orvo::store::ParseNode;
using orvo::store::SerializeNode;

namespace {

using orvo::testing::AddChild;
using orvo::testing::DescribeTree;
using orvo::testing::MakeNode;

std::string Bytes(std::initializer_list<int> b) {
  std::string s;
  for (int x : b) s.push_back(static_cast<char>(x));
  return s;
}

// A node record laid out by hand: n, flags, v, k, name, value, ids.
std::string Record(const std::u16string& name, int flags, const std::string& value, int32_t k,
                   const std::vector<uint32_t>& ids = {}, int name_units = -1) {
  uint8_t fixed[8];
  fixed[0] = static_cast<uint8_t>(name_units >= 0 ? name_units : name.size());
  fixed[1] = static_cast<uint8_t>(flags);
  EncodeFixed16(fixed + 2, static_cast<uint16_t>(value.size()));
  EncodeFixed32(fixed + 4, static_cast<uint32_t>(k));
  std::string s(reinterpret_cast<char*>(fixed), 8);
  for (char16_t u : name) {
    s.push_back(static_cast<char>(u & 0xFF));
    s.push_back(static_cast<char>(u >> 8));
  }
  s += value;
  for (uint32_t id : ids) {
    uint8_t b[4];
    EncodeFixed32(b, id);
    s.append(reinterpret_cast<char*>(b), 4);
  }
  return s;
}

std::string Serialize(const CfNode* root) {
  const uint32_t size = SerializeNode(root, nullptr);
  std::string out(size, '\0');
  uint8_t* cursor = reinterpret_cast<uint8_t*>(&out[0]);
  uint8_t* const start = cursor;
  EXPECT_EQ(SerializeNode(root, &cursor, size), size);
  EXPECT_EQ(cursor, start + size);
  return out;
}

// Parses |body| from its start; *used receives the bytes the tree covers.
CfNode* Parse(const std::string& body, size_t* used = nullptr, CfParseStats* stats = nullptr) {
  const uint8_t* start = reinterpret_cast<const uint8_t*>(body.data());
  const uint8_t* cursor = start;
  CfNode* root = ParseNode(&cursor, start + body.size(), stats);
  if (root == nullptr) {
    EXPECT_EQ(cursor, start) << "a failed parse moved the cursor";
  }
  if (used != nullptr) *used = static_cast<size_t>(cursor - start);
  return root;
}

const CfNode* ChildAt(const CfNode* n, int i) { return CfChildren(n)->entries[i].child; }
uint32_t IdAt(const CfNode* n, int i) { return CfChildren(n)->entries[i].id; }
std::u16string NameOf(const CfNode* n) { return std::u16string(CfName(n), n->name_length); }

const std::string kNewTreeBody =
    Bytes({0x04, 0, 0, 0, 0, 0, 0, 0, 0x52, 0, 0x6F, 0, 0x6F, 0, 0x74, 0});
const std::string kAppBody =
    Bytes({0x04, 0x04, 0, 0,    0x01, 0, 0, 0, 0x52, 0, 0x6F, 0,    0x6F, 0,    0x74, 0,    0xA8,
           0x05, 0,    0, 0x03, 0,    0, 0, 0, 0,    0, 0,    0x41, 0,    0x50, 0,    0x50, 0});

TEST(CodingTest, LittleEndianWhateverTheMachine) {
  uint8_t b[4];
  EncodeFixed32(b, 0x4346464C);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(b), 4), "LFFC");
  EXPECT_EQ(DecodeFixed32(b), 0x4346464Cu);
  EncodeFixed16(b, 0xBEEF);
  EXPECT_EQ(b[0], 0xEF);
  EXPECT_EQ(b[1], 0xBE);
  EXPECT_EQ(DecodeFixed16(b), 0xBEEF);
}

TEST(ChecksumTest, SumsBytesAsUnsignedAndWraps) {
  EXPECT_EQ(CfChecksum(reinterpret_cast<const uint8_t*>("abc"), 3), 0x126u);
  EXPECT_EQ(CfChecksum(nullptr, 0), 0u);
  EXPECT_EQ(CfChecksum(reinterpret_cast<const uint8_t*>(kAppBody.data()), kAppBody.size()), 0x33Eu);
  // 16843010 bytes of 0xFF sum to 2^32 + 254.
  std::vector<uint8_t> ff(16843010, 0xFF);
  EXPECT_EQ(CfChecksum(ff.data(), ff.size()), 254u);
}

TEST(ChecksumTest, AnyStartAndLength) {
  std::vector<uint8_t> buf(300, 0xAB);
  for (size_t start = 0; start < 8; ++start) {
    for (size_t n = 0; n + start <= 290; n += 7) {
      EXPECT_EQ(CfChecksum(buf.data() + start, n), 0xABu * n) << start << " " << n;
    }
  }
}

TEST(SerializeTest, ExamplesFromTheFormat) {
  CfTree root(NewTree());
  ASSERT_TRUE(root.get());
  EXPECT_EQ(Serialize(root.get()), kNewTreeBody);  // a childless branch goes out as a leaf
  ASSERT_TRUE(AddChild(root.get(), MakeNode(u"APP", 0, "", true)));  // no children either
  EXPECT_EQ(Serialize(root.get()), kAppBody);
}

TEST(SerializeTest, RecordLayout) {
  CfTree root(MakeNode(u"R", 0xE0 | CfTypeBinary, "\x01\x02", true));
  CfNode* b = AddChild(root.get(), MakeNode(u"b", CfTypeWString, std::string("x\0\0\0", 4)), 9);
  CfNode* a = AddChild(root.get(), MakeNode(u"\u00e9", 0x10 | CfTypeString, "hi"), 3);
  ASSERT_TRUE(a && b);
  b->flags |= kCfKeyBound;  // written as held
  const std::string expected =
      Record(u"R", 0xE0 | kCfBranch | CfTypeBinary, "\x01\x02", 2, {3, 9}) +
      Record(u"\u00e9", 0x10 | CfTypeString, "hi", 0) +
      Record(u"b", kCfKeyBound | CfTypeWString, std::string("x\0\0\0", 4), 0);
  EXPECT_EQ(Serialize(root.get()), expected);
}

TEST(SerializeTest, Failures) {
  uint8_t buf[64];
  uint8_t* cursor = buf;
  EXPECT_EQ(SerializeNode(nullptr, nullptr), 0u);
  EXPECT_EQ(SerializeNode(nullptr, &cursor), 0u);
  CfTree root(NewTree());
  ASSERT_TRUE(AddChild(root.get(), MakeNode(u"APP")));
  EXPECT_EQ(SerializeNode(root.get(), &cursor, 33), 0u);  // one byte short
  EXPECT_EQ(cursor, buf);
  EXPECT_EQ(SerializeNode(root.get(), &cursor, 34), 34u);
  EXPECT_EQ(cursor, buf + 34);
}

// One walk gives the bytes of the two-pass serialiser, the body checksum
// and the block hash of the whole, whatever the first guess of the size and
// wherever the block ends fall within records.
TEST(SerializeTest, OneWalkGivesTheBytesAndTheirSums) {
  for (const int children : {0, 1, 7, 300}) {
    for (const size_t value : {size_t{0}, size_t{100}, size_t{4093}, size_t{9000}}) {
      CfTree root(NewTree());
      for (int i = 0; i < children; ++i) {
        const std::u16string name = u"k" + std::u16string(1, static_cast<char16_t>(u'a' + i % 26));
        ASSERT_TRUE(AddChild(
            root.get(), MakeNode(name, CfTypeBinary, std::string(value, static_cast<char>(i)))));
      }
      const std::string expected = Serialize(root.get());
      const auto* bytes = reinterpret_cast<const uint8_t*>(expected.data());
      for (const size_t hint : {size_t{0}, expected.size() / 3, expected.size(), size_t{1} << 22}) {
        SCOPED_TRACE(std::to_string(children) + " children of " + std::to_string(value) +
                     " bytes, hint " + std::to_string(hint));
        CfBody body;
        ASSERT_TRUE(CfSerializeBody(root.get(), hint, &body));
        EXPECT_EQ(std::string(reinterpret_cast<char*>(body.bytes), body.size), expected);
        EXPECT_EQ(body.checksum, CfChecksum(bytes, expected.size()));
        EXPECT_EQ(body.hash, CfHash64Blocks(bytes, expected.size(), 0));
        std::free(body.bytes);
      }
    }
  }
  CfBody none;
  EXPECT_FALSE(CfSerializeBody(nullptr, 0, &none));
  EXPECT_EQ(none.bytes, nullptr);
}

TEST(SerializeTest, BodyMustFitThirtyTwoBits) {
  // 70000 entries naming one leaf with a full-size value: about 4.6e9 bytes.
  // The sizing pass reads only; nothing of that size is ever allocated.
  std::string value(65535, 'v');
  CfNode* leaf = MakeNode(u"big", CfTypeBinary, value);
  CfNode* root = MakeNode(u"Root", 0, "", true);
  ASSERT_TRUE(leaf && root);
  for (int i = 0; i < 70000; ++i) ASSERT_GE(AppendChild(CfChildren(root), {1, leaf}), 0);
  EXPECT_EQ(SerializeNode(root, nullptr), 0u);
  // 65000 of them still fit.
  CfChildren(root)->count = 65000;
  EXPECT_EQ(SerializeNode(root, nullptr), 16u + 4u * 65000 + 65000u * (8 + 6 + 65535));
  CfChildren(root)->count = 0;
  FreeNodeTree(root, nullptr);
  FreeNodeRecord(leaf);
}

TEST(ParseTest, ExamplesFromTheFormat) {
  size_t used = 0;
  CfParseStats stats;
  CfTree root(Parse(kAppBody, &used, &stats));
  ASSERT_TRUE(root.get());
  EXPECT_EQ(used, kAppBody.size());
  EXPECT_EQ(stats.nodes, 2u);
  EXPECT_TRUE(stats.complete);
  EXPECT_EQ(NameOf(root.get()), u"Root");
  ASSERT_EQ(CfChildCount(root.get()), 1);
  EXPECT_EQ(IdAt(root.get(), 0), 0x5A8u);
  EXPECT_EQ(NameOf(ChildAt(root.get(), 0)), u"APP");
  EXPECT_FALSE(CfIsBranch(ChildAt(root.get(), 0)));

  root.reset(Parse(kNewTreeBody, &used));
  ASSERT_TRUE(root.get());
  EXPECT_FALSE(CfIsBranch(root.get()));  // the new tree's root comes back as a leaf
  EXPECT_EQ(NameOf(root.get()), u"Root");
}

TEST(ParseTest, UnreadableRootRecords) {
  struct Case {
    const char* what;
    std::string body;
  } cases[] = {
      {"no bytes", ""},
      {"fixed fields cut", Record(u"", 0, "", 0).substr(0, 7)},
      {"name runs past the end", Record(u"Root", 0, "", 0).substr(0, 15)},
      {"value runs past the end", Record(u"R", 0, "vvv", 0).substr(0, 12)},
      {"child ids run past the end", Record(u"R", kCfBranch, "", 2, {1, 2}).substr(0, 17)},
      {"child count past the end", Record(u"R", kCfBranch, "", 0x40000000)},
      {"negative child count", Record(u"R", kCfBranch, "", -1) + Record(u"c", 0, "", 0)},
      {"most negative child count", Record(u"R", kCfBranch, "", INT32_MIN)},
      {"name with <", Record(u"a<b", 0, "", 0)},
      {"name with >", Record(u">", 0, "", 0)},
  };
  for (const Case& c : cases) {
    CfParseStats stats;
    stats.nodes = 7;
    stats.complete = true;
    EXPECT_EQ(Parse(c.body, nullptr, &stats), nullptr) << c.what;
    EXPECT_EQ(stats.nodes, 0u) << c.what;
    EXPECT_FALSE(stats.complete) << c.what;
  }
}

TEST(ParseTest, FlagsAsRead) {
  // Bit 2 with no children reads as a leaf; bit 3 is dropped; the rest stays.
  CfTree root(Parse(Record(u"R", 0xFF, "", 0)));
  ASSERT_TRUE(root.get());
  EXPECT_EQ(root.get()->flags, 0xF3);
  // A leaf record's count field carries nothing: the record ends after the value.
  size_t used = 0;
  root.reset(Parse(Record(u"L", 0x01, "ab", -5) + "trailing", &used));
  ASSERT_TRUE(root.get());
  EXPECT_EQ(used, 8u + 2 + 2);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(CfValue(root.get())), 2), "ab");
}

TEST(ParseTest, NamesAreCutButRecordsKeepTheirLength) {
  const std::string body = Record(u"R", kCfBranch, "", 3, {1, 2, 3}) +
                           Record(std::u16string(u"a\0b", 3), 0, "1", 0) +
                           Record(u"c/d", 0, "2", 0) + Record(u"e\\<", 0, "3", 0);
  size_t used = 0;
  CfTree root(Parse(body, &used));
  ASSERT_TRUE(root.get());
  EXPECT_EQ(used, body.size());
  ASSERT_EQ(CfChildCount(root.get()), 3);
  EXPECT_EQ(NameOf(ChildAt(root.get(), 0)), u"a");
  EXPECT_EQ(NameOf(ChildAt(root.get(), 1)), u"c");
  EXPECT_EQ(NameOf(ChildAt(root.get(), 2)), u"e");  // the '<' lies after the cut
  EXPECT_EQ(CfValue(ChildAt(root.get(), 2))[0], '3');
}

TEST(ParseTest, IdsAndOrderAsTheFileHasThem) {
  const std::string body = Record(u"R", kCfBranch, "", 3, {7, 7, 1}) + Record(u"APP", 0, "", 0) +
                           Record(u"x", 0, "", 0) + Record(u"", 0, "", 0);
  CfTree root(Parse(body));
  ASSERT_TRUE(root.get());
  ASSERT_EQ(CfChildCount(root.get()), 3);
  EXPECT_EQ(IdAt(root.get(), 0), 7u);
  EXPECT_EQ(IdAt(root.get(), 1), 7u);
  EXPECT_EQ(IdAt(root.get(), 2), 1u);
  EXPECT_EQ(NameOf(ChildAt(root.get(), 0)), u"APP");
  EXPECT_EQ(NameOf(ChildAt(root.get(), 2)), u"");
}

TEST(ParseTest, StopsAtTheFirstUnreadableRecordKeepingWhatCameBefore) {
  // Root lists three children; the body ends after the second.
  const std::string two = Record(u"Root", kCfBranch, "", 3, {1, 2, 3}) + Record(u"a", 0, "", 0) +
                          Record(u"b", 0, "", 0);
  CfParseStats stats;
  size_t used = 0;
  CfTree root(Parse(two, &used, &stats));
  ASSERT_TRUE(root.get());
  EXPECT_EQ(CfChildCount(root.get()), 2);
  EXPECT_EQ(used, two.size());
  EXPECT_EQ(stats.nodes, 3u);
  EXPECT_FALSE(stats.complete);

  // A bad grandchild also ends the reading of its aunts and uncles.
  const std::string deep = Record(u"Root", kCfBranch, "", 2, {1, 2}) +
                           Record(u"a", kCfBranch, "", 2, {10, 11}) + Record(u"a1", 0, "", 0) +
                           Record(u"a<2", 0, "", 0) + Record(u"b", 0, "", 0);
  root.reset(Parse(deep, &used, &stats));
  ASSERT_TRUE(root.get());
  EXPECT_EQ(DescribeTree(root.get()),
            "[0] Root flags=0x04 value= branch\n"
            "  [1] a flags=0x04 value= branch\n"
            "    [10] a1 flags=0x00 value= leaf\n");
  EXPECT_EQ(stats.nodes, 3u);
  EXPECT_EQ(used, deep.size() - Record(u"a<2", 0, "", 0).size() - Record(u"b", 0, "", 0).size());
}

// The room reserved for a branch's declared children is given back when
// reading stops early: what is left is what the entries read would have
// grown to one at a time.
TEST(ParseTest, EarlyStopKeepsOnlyTheRoomTheChildrenRead) {
  const struct {
    int declared;
    int readable;
    int capacity;
  } kCases[] = {{40, 2, 16}, {40, 0, 0}, {40, 17, 32}, {20, 20, 32}};
  for (const auto& c : kCases) {
    SCOPED_TRACE(std::to_string(c.declared) + " declared, " + std::to_string(c.readable) + " read");
    std::vector<uint32_t> ids;
    for (int i = 0; i < c.declared; ++i) ids.push_back(static_cast<uint32_t>(i + 1));
    std::string body = Record(u"Root", kCfBranch, "", c.declared, ids);
    // Children with large values, so that the bytes left could hold many
    // more records than were read.
    for (int i = 0; i < c.readable; ++i) body += Record(u"c", 0, std::string(200, 'v'), 0);
    if (c.readable < c.declared) body += std::string(200, '\0').substr(0, 4);  // a cut record
    CfParseStats stats;
    CfTree root(Parse(body, nullptr, &stats));
    ASSERT_NE(root.get(), nullptr);
    EXPECT_EQ(stats.complete, c.readable == c.declared);
    EXPECT_FALSE(stats.out_of_memory);
    EXPECT_EQ(CfChildCount(root.get()), c.readable);
    EXPECT_EQ(CfChildren(root.get())->capacity, c.capacity);
  }
}

TEST(ParseTest, BytesAfterTheTreeAreIgnored) {
  size_t used = 0;
  CfParseStats stats;
  CfTree root(Parse(kAppBody + "junk that is not a record", &used, &stats));
  ASSERT_TRUE(root.get());
  EXPECT_EQ(used, kAppBody.size());
  EXPECT_TRUE(stats.complete);
}

TEST(RoundTripTest, MixedTree) {
  CfTree root(NewTree());
  CfNode* app = AddChild(root.get(), MakeNode(u"APP", 0, "", true));
  ASSERT_TRUE(app);
  for (uint32_t i = 1; i <= 40; ++i) {
    CfNode* rec = AddChild(app, MakeNode(u"", 0, "", true), 1000 - i % 7);
    ASSERT_TRUE(rec);
    ASSERT_TRUE(AddChild(rec, MakeNode(u"Name", CfTypeWString, std::string("n\0\0\0", 4))));
    ASSERT_TRUE(AddChild(rec, MakeNode(u"Width", CfTypeBinary | 0x30, std::string(4, char(i)))));
  }
  ASSERT_TRUE(AddChild(root.get(),
                       MakeNode(std::u16string(255, u'\u4e2d'), 0xC2, std::string(65535, 'z'))));
  const std::string body = Serialize(root.get());
  CfTree back(Parse(body));
  ASSERT_TRUE(back.get());
  EXPECT_EQ(DescribeTree(back.get()), DescribeTree(root.get()));
  EXPECT_EQ(Serialize(back.get()), body);
}

TEST(RoundTripTest, MillionLevelsDeep) {
  constexpr int kDepth = 1000000;
  CfTree root(NewTree());
  CfNode* cur = root.get();
  for (int i = 0; i < kDepth; ++i) cur = AddChild(cur, MakeNode(u"d", 0, "", true));
  ASSERT_TRUE(cur);
  const std::string body = Serialize(root.get());
  EXPECT_EQ(body.size(), 16u + 4 + (kDepth - 1) * (8 + 2 + 4u) + (8 + 2));
  CfParseStats stats;
  CfTree back(Parse(body, nullptr, &stats));
  ASSERT_TRUE(back.get());
  EXPECT_EQ(stats.nodes, kDepth + 1u);
  EXPECT_TRUE(stats.complete);
  EXPECT_EQ(Serialize(back.get()), body);
}

}  // namespace
