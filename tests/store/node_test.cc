#include "store/node.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "store/child_table.h"
#include "store/name.h"
#include "store/tree.h"

using orvo::store::AppendChild;
using orvo::store::CfChildren;
using orvo::store::CfName;
using orvo::store::CfNameHash;
using orvo::store::CfNamesMatch;
using orvo::store::CfValue;
using orvo::store::CreateNode;
using orvo::store::FindChildById;
using orvo::store::FindChildByName;
using orvo::store::FreeNodeRecord;
using orvo::store::FreeNodeTree;
using orvo::store::InsertChild;
using orvo::store::IsSubtreeUnprotected;
using orvo::store::RemoveChildAt;

namespace {

uint32_t Hash(const std::u16string& s, int limit = -1, int* covered = nullptr) {
  return CfNameHash(s.c_str(), limit, covered);
}

CfNode* Leaf(const std::u16string& name, uint8_t flags = 0) {
  return CreateNode(name.c_str(), -1, flags, nullptr, 0, 0);
}

CfNode* Branch(const std::u16string& name, uint8_t flags = 0) {
  return CreateNode(name.c_str(), -1, flags, nullptr, 0, 1);
}

std::u16string NameOf(const CfNode* n) { return std::u16string(CfName(n), n->name_length); }

void AddNamed(CfNode* parent, CfNode* child) {
  ASSERT_GE(InsertChild(CfChildren(parent), {Hash(NameOf(child)), child}, false), 0);
}

TEST(NameHash, KnownValues) {
  EXPECT_EQ(Hash(u"a"), 0xC2u);
  EXPECT_EQ(Hash(u"A"), 0xC2u);
  EXPECT_EQ(Hash(u"APP"), 0x5A8u);
  EXPECT_EQ(Hash(u"app"), 0x5A8u);
  EXPECT_EQ(Hash(u"Root"), 0xD3Cu);
  int covered = -1;
  EXPECT_EQ(Hash(u"", -1, &covered), 0u);
  EXPECT_EQ(covered, 0);
  EXPECT_EQ(CfNameHash(nullptr, -1, &covered), 0u);
  EXPECT_EQ(covered, 0);
}

TEST(NameHash, StopsAtSeparatorsAndLimits) {
  int covered = 0;
  EXPECT_EQ(Hash(u"a\\b", -1, &covered), Hash(u"a"));
  EXPECT_EQ(covered, 1);
  EXPECT_EQ(Hash(u"a/b", -1, &covered), Hash(u"a"));
  EXPECT_EQ(covered, 1);
  EXPECT_EQ(Hash(u"abc", 2, &covered), Hash(u"ab"));
  EXPECT_EQ(covered, 2);
  std::u16string longname(300, u'x');
  Hash(longname, -1, &covered);
  EXPECT_EQ(covered, 255);
  Hash(longname, 1000, &covered);
  EXPECT_EQ(covered, 255);
}

TEST(NameHash, FoldsOnlyAsciiLetters) {
  // '@' | 0x20 is '`', not a letter: the two must hash differently.
  EXPECT_NE(Hash(u"@"), Hash(u"`"));
  EXPECT_NE(Hash(u"\u00C4"), Hash(u"\u00E4"));
  EXPECT_EQ(Hash(u"Widget"), Hash(u"wIDGET"));
}

TEST(NameMatch, AsciiCaseOnlyAndLengthsMustAgree) {
  EXPECT_TRUE(CfNamesMatch(u"App", 3, u"APP", 3));
  EXPECT_FALSE(CfNamesMatch(u"\u00C4", 1, u"\u00E4", 1));
  EXPECT_FALSE(CfNamesMatch(u"ab", 2, u"abc", 3));
  EXPECT_FALSE(CfNamesMatch(u"[", 1, u"{", 1));
}

TEST(CreateNodeTest, NameRules) {
  EXPECT_EQ(Leaf(u"a<b"), nullptr);
  EXPECT_EQ(Leaf(u"a>b"), nullptr);
  CfNode* n = Leaf(u"x/y");
  ASSERT_NE(n, nullptr);
  EXPECT_EQ(NameOf(n), u"x");
  EXPECT_EQ(CfName(n)[1], 0);
  FreeNodeRecord(n);
  // A '<' after the end of the name does not count.
  n = Leaf(u"x\\<");
  ASSERT_NE(n, nullptr);
  EXPECT_EQ(NameOf(n), u"x");
  FreeNodeRecord(n);
  std::u16string longname(300, u'n');
  n = CreateNode(longname.c_str(), 1000, 0, nullptr, 0, 0);
  ASSERT_NE(n, nullptr);
  EXPECT_EQ(n->name_length, 255);
  FreeNodeRecord(n);
  n = CreateNode(nullptr, -1, 0, nullptr, 0, 0);
  ASSERT_NE(n, nullptr);
  EXPECT_EQ(n->name_length, 0);
  FreeNodeRecord(n);
}

TEST(CreateNodeTest, ValueLengths) {
  CfNode* n = CreateNode(u"v", -1, CfTypeWString, u"AB", -1, 0);
  ASSERT_NE(n, nullptr);
  EXPECT_EQ(n->value_length, 6);
  EXPECT_EQ(std::memcmp(CfValue(n), u"AB", 6), 0);
  FreeNodeRecord(n);
  n = CreateNode(u"v", -1, CfTypeString, "abc", -1, 0);
  ASSERT_NE(n, nullptr);
  EXPECT_EQ(n->value_length, 4);
  FreeNodeRecord(n);
  n = CreateNode(u"v", -1, CfTypeBinary, "abcd", -1, 0);
  ASSERT_NE(n, nullptr);
  EXPECT_EQ(n->value_length, 0);
  FreeNodeRecord(n);
  std::vector<uint8_t> big(65536, 1);
  EXPECT_EQ(CreateNode(u"v", -1, CfTypeBinary, big.data(), 65536, 0), nullptr);
  EXPECT_EQ(CreateNode(u"v", -1, CfTypeBinary, big.data(), -2, 0), nullptr);
  n = CreateNode(u"v", -1, CfTypeBinary, big.data(), 65535, 0);
  ASSERT_NE(n, nullptr);
  EXPECT_EQ(n->value_length, 65535);
  FreeNodeRecord(n);
  // A wide string whose terminated length does not fit is refused, not cut.
  std::u16string huge(32767, u'w');
  EXPECT_EQ(CreateNode(u"v", -1, CfTypeWString, huge.c_str(), -1, 0), nullptr);
  huge.resize(32766);
  n = CreateNode(u"v", -1, CfTypeWString, huge.c_str(), -1, 0);
  ASSERT_NE(n, nullptr);
  EXPECT_EQ(n->value_length, 65534);
  FreeNodeRecord(n);
}

TEST(CreateNodeTest, FlagsKeepAttributesAndFollowShape) {
  CfNode* n = CreateNode(u"f", -1, 0xFF, nullptr, 0, 0);
  ASSERT_NE(n, nullptr);
  EXPECT_EQ(n->flags, 0xF3);  // bits 2 and 3 cleared for a leaf
  FreeNodeRecord(n);
  n = CreateNode(u"f", -1, 0x08 | 0x20 | CfTypeBinary, nullptr, 0, 5);
  ASSERT_NE(n, nullptr);
  EXPECT_EQ(n->flags, 0x20 | kCfBranch | CfTypeBinary);
  ASSERT_NE(CfChildren(n), nullptr);
  EXPECT_EQ(CfChildren(n)->capacity, 0);
  EXPECT_EQ(CfChildren(n)->count, 0);
  FreeNodeRecord(n);
}

TEST(ChildTableTest, OrderOfEqualIds) {
  CfTree t(Branch(u"p"));
  CfChildTable* table = CfChildren(t.get());
  std::vector<CfNode*> kids;
  for (int i = 0; i < 3; ++i) {
    kids.push_back(CreateNode(nullptr, 0, 0, nullptr, 0, 0));
    ASSERT_EQ(InsertChild(table, {1, kids.back()}, false), i);
  }
  CfNode* first = CreateNode(nullptr, 0, 0, nullptr, 0, 0);
  EXPECT_EQ(InsertChild(table, {1, first}, true), 0);
  CfNode* low = CreateNode(nullptr, 0, 0, nullptr, 0, 0);
  EXPECT_EQ(InsertChild(table, {0, low}, false), 0);
  CfNode* high = CreateNode(nullptr, 0, 0, nullptr, 0, 0);
  EXPECT_EQ(InsertChild(table, {0xFFFFFFFFu, high}, true), 5);
  ASSERT_EQ(table->count, 6);
  EXPECT_EQ(table->entries[1].child, first);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(table->entries[2 + i].child, kids[i]);
  // Occurrences walk the run; -1 is the last one, also at the end.
  EXPECT_EQ(FindChildById(t.get(), 1, 0), 1);
  EXPECT_EQ(FindChildById(t.get(), 1, 3), 4);
  EXPECT_EQ(FindChildById(t.get(), 1, 4), -1);
  EXPECT_EQ(FindChildById(t.get(), 1, -1), 4);
  EXPECT_EQ(FindChildById(t.get(), 0xFFFFFFFFu, -1), 5);
  EXPECT_EQ(FindChildById(t.get(), 7, 0), -1);
  EXPECT_EQ(FindChildById(t.get(), 7, -1), -1);
}

TEST(ChildTableTest, FindByNameComparesWithinCollisions) {
  CfTree t(Branch(u"p"));
  AddNamed(t.get(), Leaf(u"APP"));
  AddNamed(t.get(), Leaf(u"Widget"));
  AddNamed(t.get(), Leaf(u"ab"));
  int covered = 0;
  EXPECT_EQ(
      NameOf(CfChildren(t.get())->entries[FindChildByName(t.get(), u"App", -1, &covered)].child),
      u"APP");
  EXPECT_EQ(covered, 3);
  EXPECT_GE(FindChildByName(t.get(), u"wIdGeT\\rest", -1, &covered), 0);
  EXPECT_EQ(covered, 6);
  EXPECT_EQ(FindChildByName(t.get(), u"abc", -1, &covered), -1);
  EXPECT_EQ(covered, 3);
  // A different name under the very same id is not a match: lengths differ.
  CfNode* other = Leaf(u"abc");
  ASSERT_GE(InsertChild(CfChildren(t.get()), {Hash(u"ab"), other}, false), 0);
  EXPECT_EQ(FindChildByName(t.get(), u"abc", -1, &covered), -1);
  int i = FindChildByName(t.get(), u"AB", -1, &covered);
  ASSERT_GE(i, 0);
  EXPECT_EQ(NameOf(CfChildren(t.get())->entries[i].child), u"ab");
}

TEST(ChildTableTest, CapacityGrowsAndShrinksBySixteen) {
  CfTree t(Branch(u"p"));
  CfChildTable* table = CfChildren(t.get());
  EXPECT_EQ(table->capacity, 0);
  for (int i = 0; i < 17; ++i) {
    ASSERT_GE(AppendChild(table, {static_cast<uint32_t>(i), Leaf(u"c")}), 0);
    EXPECT_EQ(table->capacity, i < 16 ? 16 : 32);
  }
  std::vector<CfNode*> removed;
  while (table->count > 0) {
    const int32_t n = table->count;
    removed.push_back(table->entries[n - 1].child);
    ASSERT_TRUE(RemoveChildAt(table, 1000));  // out of range: the last one
    EXPECT_EQ(table->capacity, n <= 8 ? 16 : 32) << "removal starting with count " << n;
  }
  EXPECT_FALSE(RemoveChildAt(table, 0));
  for (CfNode* n : removed) FreeNodeRecord(n);
}

TEST(ChildTableTest, RemoveKeepsOrder) {
  CfTree t(Branch(u"p"));
  CfChildTable* table = CfChildren(t.get());
  for (uint32_t id = 1; id <= 5; ++id) ASSERT_GE(InsertChild(table, {id, Leaf(u"c")}, false), 0);
  CfNode* middle = table->entries[2].child;
  ASSERT_TRUE(RemoveChildAt(table, 2));
  FreeNodeRecord(middle);
  ASSERT_EQ(table->count, 4);
  const uint32_t expected[] = {1, 2, 4, 5};
  for (int i = 0; i < 4; ++i) EXPECT_EQ(table->entries[i].id, expected[i]);
}

struct RecordingHook : CfDetachHook {
  void Detach(CfNode* node) override { seen.push_back(node); }
  std::vector<CfNode*> seen;
};

TEST(FreeTreeTest, ReportsEveryKeyBoundNode) {
  CfNode* root = Branch(u"Root");
  CfNode* a = Branch(u"a");
  CfNode* b = Leaf(u"b");
  CfNode* c = Leaf(u"c");
  AddNamed(root, a);
  AddNamed(root, b);
  AddNamed(a, c);
  a->flags |= kCfKeyBound;
  c->flags |= kCfKeyBound;
  RecordingHook hook;
  EXPECT_TRUE(FreeNodeTree(root, &hook));
  ASSERT_EQ(hook.seen.size(), 2u);
  EXPECT_TRUE((hook.seen[0] == a && hook.seen[1] == c) || (hook.seen[0] == c && hook.seen[1] == a));
}

TEST(FreeTreeTest, DeepTreeDoesNotExhaustTheStack) {
  CfNode* root = Branch(u"Root");
  CfNode* cur = root;
  for (int i = 0; i < 1000000; ++i) {
    CfNode* child = Branch(u"d");
    ASSERT_GE(AppendChild(CfChildren(cur), {Hash(u"d"), child}), 0);
    cur = child;
  }
  cur->flags |= kCfProtected;
  EXPECT_FALSE(IsSubtreeUnprotected(root));
  cur->flags &= ~kCfProtected;
  EXPECT_TRUE(IsSubtreeUnprotected(root));
  EXPECT_TRUE(FreeNodeTree(root, nullptr));
}

TEST(ProtectionTest, FindsProtectionAnywhereBelow) {
  CfTree t(Branch(u"Root"));
  CfNode* a = Branch(u"a");
  CfNode* g = Leaf(u"g");
  AddNamed(t.get(), a);
  AddNamed(t.get(), Leaf(u"b"));
  AddNamed(a, g);
  EXPECT_TRUE(IsSubtreeUnprotected(t.get()));
  g->flags |= kCfProtected;
  EXPECT_FALSE(IsSubtreeUnprotected(t.get()));
  EXPECT_FALSE(IsSubtreeUnprotected(a));
  g->flags &= ~kCfProtected;
  t.get()->flags |= 0xE0;  // free attribute bits do not protect
  EXPECT_TRUE(IsSubtreeUnprotected(t.get()));
}

}  // namespace
