// Keys: creating, renaming and deleting, and deleting while iterating.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "store/config_file.h"
#include "store/key.h"
#include "store/name.h"
#include "tests/store/key_test_util.h"

using orvo::store::CfNameHash;

namespace orvo::testing {
namespace {

using KeyEditTest = KeyTest;

std::u16string Repeat(char16_t c, size_t n) { return std::u16string(n, c); }

// --- CreateChild -------------------------------------------------------------

TEST_F(KeyEditTest, CreateChildStoresNameValueAndAttributes) {
  auto k = KeyRef::Adopt(root_->CreateChild(u"Name", CfTypeWString | 0x20, u"text", -1));
  ASSERT_TRUE(k);
  EXPECT_EQ(NameOf(k.get()), "Name");
  EXPECT_EQ(k->GetType(), CfTypeWString);
  EXPECT_EQ(k->GetValueLength(), 10);
  EXPECT_EQ(k->GetAttributes(), 0x20);
  EXPECT_EQ(k->GetId(nullptr), CfNameHash(u"Name", -1, nullptr));
  EXPECT_EQ(CountOf(k.get()), 1);
  EXPECT_EQ(CountOf(root_.get()), 3);  // ours, the file's, the child's
}

TEST_F(KeyEditTest, CreateChildRefusesATakenName) {
  const int32_t one = 1;
  auto first = KeyRef::Adopt(root_->CreateChild(u"Widget", CfTypeBinary, &one, 4));
  ASSERT_TRUE(first);
  const int32_t two = 2;
  EXPECT_FALSE(KeyRef::Adopt(root_->CreateChild(u"WIDGET", CfTypeBinary, &two, 4)));
  EXPECT_FALSE(KeyRef::Adopt(root_->CreateChild(u"widget\\x", CfTypeBinary, &two, 4)));
  EXPECT_EQ(first->GetInt(0), 1);
  EXPECT_EQ(ChildNames(root_.get()), "Widget");
}

TEST_F(KeyEditTest, CreateChildNameRules) {
  EXPECT_FALSE(KeyRef::Adopt(root_->CreateChild(u"a<b", CfTypeNone, nullptr, 0)));
  EXPECT_FALSE(KeyRef::Adopt(root_->CreateChild(u"a>b", CfTypeNone, nullptr, 0)));
  EXPECT_FALSE(KeyRef::Adopt(root_->CreateChild(nullptr, CfTypeNone, nullptr, 0)));
  auto cut = KeyRef::Adopt(root_->CreateChild(u"front\\back", CfTypeNone, nullptr, 0));
  ASSERT_TRUE(cut);
  EXPECT_EQ(NameOf(cut.get()), "front");
  auto slash = KeyRef::Adopt(root_->CreateChild(u"left/right", CfTypeNone, nullptr, 0));
  EXPECT_EQ(NameOf(slash.get()), "left");
  const std::u16string long_name = Repeat(u'L', 300);
  auto longest = KeyRef::Adopt(root_->CreateChild(long_name.c_str(), CfTypeNone, nullptr, 0));
  ASSERT_TRUE(longest);
  EXPECT_EQ(longest->GetName(nullptr, 0), 255);
  EXPECT_EQ(SortedChildNames(root_.get()), std::string(255, 'L') + ",front,left");
}

TEST_F(KeyEditTest, CreateRefusesValueArgumentsOutsideTheContract) {
  const std::string big(65536, 'b');
  EXPECT_FALSE(KeyRef::Adopt(root_->CreateChild(u"a", CfTypeBinary, big.data(), 65536)));
  EXPECT_FALSE(KeyRef::Adopt(root_->CreateChild(u"a", CfTypeBinary, big.data(), -2)));
  EXPECT_FALSE(KeyRef::Adopt(root_->CreateChild(u"a", CfTypeBinary | 0x04, nullptr, 0)));
  EXPECT_FALSE(KeyRef::Adopt(root_->CreateChild(u"a", CfTypeBinary | 0x08, nullptr, 0)));
  EXPECT_FALSE(KeyRef::Adopt(root_->CreateChild(u"a", CfTypeBinary, nullptr, 4)));
  EXPECT_FALSE(KeyRef::Adopt(root_->CreateChildWithId(3, false, CfTypeBinary, big.data(), 70000)));
  EXPECT_FALSE(KeyRef::Adopt(root_->CreateChildWithId(3, false, 0x0C, nullptr, 0)));
  EXPECT_FALSE(KeyRef::Adopt(root_->CreateChildWithId(3, false, CfTypeString, big.c_str(), -1)));
  EXPECT_EQ(root_->GetFirstChild(), nullptr);
  // Inferred from the low two bits, attribute bits aside.
  auto ok = KeyRef::Adopt(root_->CreateChild(u"a", CfTypeString | 0x10, "xy", -1));
  ASSERT_TRUE(ok);
  EXPECT_EQ(ok->GetValueLength(), 3);
  EXPECT_EQ(ok->GetAttributes(), 0x10);
}

TEST_F(KeyEditTest, LeafTakesItsFirstChildAndLosesItsAttributes) {
  auto leaf = KeyRef::Adopt(root_->CreateChild(u"leaf", CfTypeString | 0x10, "val", -1));
  ASSERT_TRUE(leaf);
  auto child = KeyRef::Adopt(leaf->CreateChild(u"child", CfTypeNone, nullptr, 0));
  ASSERT_TRUE(child);
  EXPECT_EQ(NameOf(leaf.get()), "leaf");
  EXPECT_EQ(leaf->GetType(), CfTypeString);
  char buffer[4];
  EXPECT_EQ(leaf->GetValue(buffer, 4), 4);
  EXPECT_EQ(std::string(buffer), "val");
  // The rebuilt record starts without attribute bits: a protected leaf
  // accepts its first child and is no longer protected afterwards.
  EXPECT_EQ(leaf->GetAttributes(), 0);
  EXPECT_TRUE(leaf->SetValue(CfTypeString, "v2", -1));
  auto found = KeyRef::Adopt(root_->FindChild(u"leaf", -1, nullptr, false));
  EXPECT_EQ(found.get(), leaf.get());
  ExpectSound(file_);
}

// --- CreateChildWithId -------------------------------------------------------

TEST_F(KeyEditTest, ChildrenWithOneIdKeepCreationOrder) {
  std::vector<ICfKey*> after, before;
  for (int i = 0; i < 3; ++i) after.push_back(root_->CreateChildWithId(1, false, 0, nullptr, 0));
  for (int i = 0; i < 3; ++i) {
    auto k = KeyRef::Adopt(root_->GetChildById(1, i));
    EXPECT_EQ(k.get(), after[i]);
  }
  for (int i = 0; i < 3; ++i) before.push_back(root_->CreateChildWithId(2, true, 0, nullptr, 0));
  auto newest = KeyRef::Adopt(root_->GetChildById(2, 0));
  EXPECT_EQ(newest.get(), before[2]);
  auto oldest = KeyRef::Adopt(root_->GetChildById(2, -1));
  EXPECT_EQ(oldest.get(), before[0]);
  // An unnamed child never matches a name, not even the empty one.
  EXPECT_FALSE(KeyRef::Adopt(root_->FindChild(u"", -1, nullptr, false)));
  EXPECT_FALSE(KeyRef::Adopt(root_->CreateChildWithId(0, false, 0, nullptr, 0)));
  for (ICfKey* k : after) k->Release();
  for (ICfKey* k : before) k->Release();
  ExpectSound(file_);
}

// --- Rename ------------------------------------------------------------------

TEST_F(KeyEditTest, RenameMovesTheKeyToItsNewPlace) {
  MakeChildren(root_.get(), {u"a", u"b", u"c"});
  auto a = KeyRef::Adopt(root_->FindChild(u"a", -1, nullptr, false));
  auto c = KeyRef::Adopt(root_->FindChild(u"c", -1, nullptr, false));
  const int32_t v = 9;
  ASSERT_TRUE(a->SetValue(CfTypeBinary, &v, 4));
  auto grandchild = KeyRef::Adopt(a->CreateChild(u"g", CfTypeNone, nullptr, 0));
  ASSERT_TRUE(a->SetAttributes(0x80));
  ICfKey* same = a.get();
  ASSERT_TRUE(a->Rename(u"zz", true));
  EXPECT_EQ(a.get(), same);
  EXPECT_EQ(NameOf(a.get()), "zz");
  EXPECT_EQ(a->GetId(nullptr), CfNameHash(u"zz", -1, nullptr));
  EXPECT_EQ(a->GetInt(0), 9);
  EXPECT_EQ(a->GetAttributes(), 0);  // not carried over to the new name
  EXPECT_FALSE(KeyRef::Adopt(root_->FindChild(u"a", -1, nullptr, false)));
  auto found = KeyRef::Adopt(root_->FindChild(u"ZZ", -1, nullptr, false));
  EXPECT_EQ(found.get(), a.get());
  auto parent = KeyRef::Adopt(grandchild->GetParent());
  EXPECT_EQ(parent.get(), a.get());
  auto at_index = KeyRef::Adopt(root_->GetChildById(a->GetId(nullptr), 0));
  EXPECT_EQ(at_index->GetIndex(), a->GetIndex());
  EXPECT_EQ(CountOf(a.get()), 5);  // ours, grandchild's, parent's, found's, at_index's
  ExpectSound(file_);
}

TEST_F(KeyEditTest, RenameGeneratesTheFirstFreeNumberedName) {
  MakeChildren(root_.get(), {u"item", u"item0", u"other"});
  auto other = KeyRef::Adopt(root_->FindChild(u"other", -1, nullptr, false));
  EXPECT_FALSE(other->Rename(u"ITEM", true));
  EXPECT_EQ(NameOf(other.get()), "other");
  ASSERT_TRUE(other->Rename(u"ITEM", false));
  EXPECT_EQ(NameOf(other.get()), "ITEM1");

  // Its own name is taken too: the first number is appended.
  auto item = KeyRef::Adopt(root_->FindChild(u"item", -1, nullptr, false));
  ASSERT_TRUE(item->Rename(u"item", false));
  EXPECT_EQ(NameOf(item.get()), "item2");
  EXPECT_EQ(SortedChildNames(root_.get()), "ITEM1,item0,item2");
}

TEST_F(KeyEditTest, RenameToItsOwnNameAppendsZero) {
  MakeChildren(root_.get(), {u"self"});
  auto k = KeyRef::Adopt(root_->FindChild(u"self", -1, nullptr, false));
  EXPECT_FALSE(k->Rename(u"SELF", true));
  EXPECT_EQ(NameOf(k.get()), "self");
  ASSERT_TRUE(k->Rename(u"SELF", false));
  EXPECT_EQ(NameOf(k.get()), "SELF0");
  EXPECT_EQ(ChildNames(root_.get()), "SELF0");
}

TEST_F(KeyEditTest, RenameUsesTheNameBeforeASeparatorForCandidates) {
  MakeChildren(root_.get(), {u"x", u"y"});
  auto y = KeyRef::Adopt(root_->FindChild(u"y", -1, nullptr, false));
  ASSERT_TRUE(y->Rename(u"x\\tail", false));
  EXPECT_EQ(NameOf(y.get()), "x0");
}

TEST_F(KeyEditTest, RenameGivesUpAfterAThousandCandidates) {
  MakeChildren(root_.get(), {u"n", u"victim"});
  for (int i = 0; i < 1000; ++i) {
    const std::u16string name = u"n" + [](int v) {
      std::u16string s;
      do {
        s.insert(s.begin(), static_cast<char16_t>(u'0' + v % 10));
        v /= 10;
      } while (v > 0);
      return s;
    }(i);
    auto k = KeyRef::Adopt(root_->CreateChild(name.c_str(), CfTypeNone, nullptr, 0));
    ASSERT_TRUE(k) << i;
  }
  auto victim = KeyRef::Adopt(root_->FindChild(u"victim", -1, nullptr, false));
  EXPECT_FALSE(victim->Rename(u"n", false));
  EXPECT_EQ(NameOf(victim.get()), "victim");
  auto gap = KeyRef::Adopt(root_->FindChild(u"n500", -1, nullptr, false));
  ASSERT_TRUE(gap->Delete());
  ASSERT_TRUE(victim->Rename(u"N", false));
  EXPECT_EQ(NameOf(victim.get()), "N500");
  ExpectSound(file_);
}

TEST_F(KeyEditTest, RenameRefusals) {
  MakeChildren(root_.get(), {u"k", u"other"});
  auto k = KeyRef::Adopt(root_->FindChild(u"k", -1, nullptr, false));
  EXPECT_FALSE(root_->Rename(u"NewRoot", false));
  EXPECT_EQ(NameOf(root_.get()), "Root");
  EXPECT_FALSE(k->Rename(nullptr, false));
  EXPECT_FALSE(k->Rename(u"", false));
  EXPECT_FALSE(k->Rename(u"\\lead", false));  // nothing before the separator
  EXPECT_FALSE(k->Rename(u"a<b", false));
  EXPECT_FALSE(k->Rename(Repeat(u'r', 256).c_str(), false));
  EXPECT_EQ(NameOf(k.get()), "k");
  ASSERT_TRUE(k->Rename(Repeat(u'r', 255).c_str(), false));
  EXPECT_EQ(k->GetName(nullptr, 0), 255);

  ASSERT_TRUE(k->SetAttributes(0x10));
  EXPECT_FALSE(k->Rename(u"free", false));
  EXPECT_EQ(k->GetName(nullptr, 0), 255);
  ASSERT_TRUE(k->SetAttributes(0));

  auto other = KeyRef::Adopt(root_->FindChild(u"other", -1, nullptr, false));
  ASSERT_TRUE(other->Delete());
  EXPECT_FALSE(other->Rename(u"again", false));
  EXPECT_EQ(SortedChildNames(root_.get()), std::string(255, 'r'));
  ExpectSound(file_);
}

// --- Delete ------------------------------------------------------------------

TEST_F(KeyEditTest, ProtectionAnywhereBelowBlocksDelete) {
  auto grandchild = KeyRef::Adopt(root_->OpenKey(u"top\\mid\\low", true));
  ASSERT_TRUE(grandchild->SetAttributes(0x10));
  auto top = KeyRef::Adopt(root_->FindChild(u"top", -1, nullptr, false));
  EXPECT_FALSE(top->Delete());
  EXPECT_EQ(ChildNames(top.get()), "mid");
  EXPECT_EQ(NameOf(grandchild.get()), "low");
  ASSERT_TRUE(grandchild->SetAttributes(0));
  ASSERT_TRUE(top->Delete());
  EXPECT_EQ(ChildNames(root_.get()), "");
  EXPECT_FALSE(top->Delete());  // detached now
  EXPECT_FALSE(root_->Delete());
}

TEST_F(KeyEditTest, ProtectedKeyItselfCannotBeDeleted) {
  auto k = KeyRef::Adopt(root_->CreateChild(u"k", CfTypeNone | 0x10, nullptr, 0));
  EXPECT_FALSE(k->Delete());
  EXPECT_EQ(ChildNames(root_.get()), "k");
  // Children can still be added and deleted under it.
  auto child = KeyRef::Adopt(k->CreateChild(u"c", CfTypeNone, nullptr, 0));
  ASSERT_TRUE(child);
  EXPECT_TRUE(child->Delete());
}

TEST_F(KeyEditTest, DeleteDetachesTheSubtreeAndReindexesLaterSiblings) {
  std::vector<ICfKey*> kids;
  for (uint32_t id : {10u, 20u, 30u, 40u}) {
    kids.push_back(root_->CreateChildWithId(id, false, CfTypeNone, nullptr, 0));
  }
  auto below = KeyRef::Adopt(kids[1]->OpenKey(u"x\\y", true));
  auto x = KeyRef::Adopt(below->GetParent());
  ASSERT_TRUE(kids[1]->Delete());
  for (ICfKey* k : {kids[1], x.get(), below.get()}) {
    EXPECT_EQ(k->GetName(nullptr, 0), -1);
    EXPECT_EQ(k->GetIndex(), -1);
  }
  auto x_parent = KeyRef::Adopt(x->GetParent());
  EXPECT_EQ(x_parent.get(), kids[1]);
  auto former = KeyRef::Adopt(kids[1]->GetParent());
  EXPECT_EQ(former.get(), root_.get());
  EXPECT_EQ(kids[0]->GetIndex(), 0);
  EXPECT_EQ(kids[2]->GetIndex(), 1);
  EXPECT_EQ(kids[3]->GetIndex(), 2);
  EXPECT_FALSE(below->Delete());
  ExpectSound(file_);
  x_parent.reset();
  former.reset();
  for (ICfKey* k : kids) k->Release();
  ExpectSound(file_);
}

TEST_F(KeyEditTest, NewNodeAtAFreedAddressIsNotTakenForTheDetachedKey) {
  // Detached keys stay registered under their old node; nodes made later may
  // get the same address. Lookups must hand out fresh keys for them.
  std::vector<ICfKey*> detached;
  for (int round = 0; round < 20; ++round) {
    ICfKey* k = root_->CreateChild(u"reused", CfTypeNone, nullptr, 0);
    ASSERT_NE(k, nullptr);
    ASSERT_TRUE(k->Delete());
    detached.push_back(k);
    auto fresh = KeyRef::Adopt(root_->CreateChild(u"reused", CfTypeNone, nullptr, 0));
    ASSERT_TRUE(fresh);
    EXPECT_EQ(NameOf(fresh.get()), "reused");
    EXPECT_EQ(CountOf(fresh.get()), 1);
    ASSERT_TRUE(fresh->Delete());
    ExpectSound(file_);
  }
  for (ICfKey* k : detached) EXPECT_EQ(k->Release(), 0);
}

// --- Deleting while iterating -----------------------------------------------

TEST_F(KeyEditTest, MoveToNextSiblingExDeletesEveryChild) {
  auto parent = KeyRef::Adopt(root_->CreateChild(u"parent", CfTypeNone, nullptr, 0));
  for (int i = 0; i < 40; ++i)
    parent->CreateChildWithId(1 + i % 3, false, 0, nullptr, 0)->Release();
  int visited = 0;
  ICfKey* k = parent->GetFirstChild();
  while (k != nullptr) {
    ++visited;
    k = k->MoveToNextSiblingEx(true);
  }
  EXPECT_EQ(visited, 40);
  EXPECT_EQ(parent->GetFirstChild(), nullptr);
  // Still a branch with an empty table: it takes children at once.
  auto again = KeyRef::Adopt(parent->CreateChild(u"again", CfTypeNone, nullptr, 0));
  EXPECT_TRUE(again);
  ExpectSound(file_);
}

TEST_F(KeyEditTest, MoveToNextSiblingExSkipsProtectedChildren) {
  MakeChildren(root_.get(), {u"a", u"b", u"c", u"d"});
  auto b = KeyRef::Adopt(root_->FindChild(u"b", -1, nullptr, false));
  ASSERT_TRUE(b->SetAttributes(0x10));
  b.reset();
  for (ICfKey* k = root_->GetFirstChild(); k != nullptr;) k = k->MoveToNextSiblingEx(true);
  EXPECT_EQ(ChildNames(root_.get()), "b");
}

TEST_F(KeyEditTest, MoveToNextSiblingExWithoutDeletingOnlyMoves) {
  MakeChildren(root_.get(), {u"a", u"b"});
  int visited = 0;
  for (ICfKey* k = root_->GetFirstChild(); k != nullptr; k = k->MoveToNextSiblingEx(false)) {
    ++visited;
  }
  EXPECT_EQ(visited, 2);
  EXPECT_EQ(SortedChildNames(root_.get()), "a,b");
}

// --- Many children ------------------------------------------------------------

TEST_F(KeyEditTest, ManyLiveKeysStayInStep) {
  // Past the registry's room inside the object and back.
  std::vector<ICfKey*> keys;
  for (int i = 0; i < 150; ++i) {
    keys.push_back(root_->CreateChildWithId(static_cast<uint32_t>(1000 - i), false, 0, nullptr, 0));
    ASSERT_NE(keys.back(), nullptr);
  }
  ExpectSound(file_);
  for (size_t i = 0; i < keys.size(); ++i)
    EXPECT_EQ(keys[i]->GetIndex(), 149 - static_cast<int>(i));
  for (size_t i = 0; i < keys.size(); i += 2) ASSERT_TRUE(keys[i]->Delete());
  ExpectSound(file_);
  for (ICfKey* k : keys) k->Release();
  ExpectSound(file_);
}

}  // namespace
}  // namespace orvo::testing
