// Keys: sharing and counts, lookups by name, id and path, movement, and the
// release chain.
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

using KeyNavigationTest = KeyTest;

// --- Sharing and counts --------------------------------------------------

TEST_F(KeyNavigationTest, LookupsShareOneObjectPerNode) {
  MakeChildren(root_.get(), {u"Widget"});
  auto first = KeyRef::Adopt(root_->FindChild(u"Widget", -1, nullptr, false));
  ASSERT_TRUE(first);
  EXPECT_EQ(CountOf(first.get()), 1);
  auto second = KeyRef::Adopt(root_->FindChild(u"Widget", -1, nullptr, false));
  EXPECT_EQ(second.get(), first.get());
  EXPECT_EQ(CountOf(first.get()), 2);
  auto third = KeyRef::Adopt(root_->GetFirstChild());
  EXPECT_EQ(third.get(), first.get());
  EXPECT_EQ(CountOf(first.get()), 3);
  ExpectSound(file_);
}

TEST_F(KeyNavigationTest, AddRefReturnsTheCountBeforeAndReleaseTheCountAfter) {
  MakeChildren(root_.get(), {u"k"});
  ICfKey* k = root_->FindChild(u"k", -1, nullptr, false);
  ASSERT_NE(k, nullptr);
  EXPECT_EQ(k->AddRef(), 1);
  EXPECT_EQ(k->AddRef(), 2);
  EXPECT_EQ(k->Release(), 2);
  EXPECT_EQ(k->Release(), 1);
  EXPECT_EQ(k->Release(), 0);
}

TEST_F(KeyNavigationTest, ReleasingADeepKeyUnwindsAncestorsHeldOnlyByIt) {
  ICfKey* deep = root_->OpenKey(u"a\\b\\c\\d\\e\\f\\g", true);
  ASSERT_NE(deep, nullptr);
  EXPECT_EQ(file_->LiveKeyCount(), 8);  // the root key and a..g
  auto c = KeyRef::Adopt(root_->OpenKey(u"a\\b\\c", false));
  ASSERT_TRUE(c);
  EXPECT_EQ(CountOf(c.get()), 2);  // d's reference and ours

  // d..g go; c keeps ours, so a and b stay.
  EXPECT_EQ(deep->Release(), 0);
  EXPECT_EQ(file_->LiveKeyCount(), 4);
  EXPECT_EQ(CountOf(c.get()), 1);
  EXPECT_LE(file_->PoolSize(), kCfIdlePoolLimit);
  ExpectSound(file_);

  // The uppermost finished key (d) was pooled first and the deepest (g)
  // last, so g's object is the next one handed out.
  auto d = KeyRef::Adopt(c->FindChild(u"d", -1, nullptr, false));
  EXPECT_EQ(d.get(), deep);
  EXPECT_EQ(NameOf(d.get()), "d");
  EXPECT_EQ(d->GetIndex(), 0);
}

TEST_F(KeyNavigationTest, VeryDeepChainUnwindsInOneRelease) {
  // A chain of 10000 keys, each held only by its child.
  constexpr int kDepth = 10000;
  ICfKey* k = root_.get();
  k->AddRef();
  for (int i = 0; i < kDepth; ++i) {
    ICfKey* child = k->CreateChild(u"d", CfTypeNone, nullptr, 0);
    ASSERT_NE(child, nullptr) << i;
    k->Release();  // the child holds its parent
    k = child;
  }
  EXPECT_EQ(file_->LiveKeyCount(), kDepth + 1);
  ExpectSound(file_);
  EXPECT_EQ(k->Release(), 0);
  EXPECT_EQ(file_->LiveKeyCount(), 1);
  EXPECT_EQ(file_->PoolSize(), kCfIdlePoolLimit);
  auto first = KeyRef::Adopt(root_->GetFirstChild());
  ASSERT_TRUE(first);
  ASSERT_TRUE(first->Delete());  // frees the whole depth
}

TEST_F(KeyNavigationTest, ParentIsCountedByItsChildren) {
  auto a = KeyRef::Adopt(root_->CreateChild(u"a", CfTypeNone, nullptr, 0));
  ASSERT_TRUE(a);
  EXPECT_EQ(CountOf(a.get()), 1);
  auto b = KeyRef::Adopt(a->CreateChild(u"b", CfTypeNone, nullptr, 0));
  EXPECT_EQ(CountOf(a.get()), 2);
  auto parent = KeyRef::Adopt(b->GetParent());
  EXPECT_EQ(parent.get(), a.get());
  EXPECT_EQ(CountOf(a.get()), 3);
  EXPECT_EQ(root_->GetParent(), nullptr);
}

// --- Lookups by name ----------------------------------------------------

TEST_F(KeyNavigationTest, NamesMatchWithoutAsciiCaseOnly) {
  MakeChildren(root_.get(), {u"Widget", u"\u00C4pfel"});
  for (const char16_t* spelling : {u"Widget", u"widget", u"WIDGET", u"wIdGeT"}) {
    auto k = KeyRef::Adopt(root_->FindChild(spelling, -1, nullptr, false));
    ASSERT_TRUE(k);
    EXPECT_EQ(NameOf(k.get()), "Widget");
  }
  EXPECT_FALSE(KeyRef::Adopt(root_->FindChild(u"\u00E4pfel", -1, nullptr, false)));
  EXPECT_TRUE(KeyRef::Adopt(root_->FindChild(u"\u00C4PFEL", -1, nullptr, false)));
  EXPECT_FALSE(KeyRef::Adopt(root_->FindChild(u"Widge", -1, nullptr, false)));
  EXPECT_FALSE(KeyRef::Adopt(root_->FindChild(u"Widgets", -1, nullptr, false)));
}

TEST_F(KeyNavigationTest, FindChildReportsTheUnitsTheNameOccupied) {
  MakeChildren(root_.get(), {u"ab"});
  int32_t consumed = -7;
  auto k = KeyRef::Adopt(root_->FindChild(u"ab\\rest", -1, &consumed, false));
  EXPECT_TRUE(k);
  EXPECT_EQ(consumed, 2);
  consumed = -7;
  EXPECT_FALSE(KeyRef::Adopt(root_->FindChild(u"abc/x", -1, &consumed, false)));
  EXPECT_EQ(consumed, 3);  // reported when nothing matches too
  consumed = -7;
  auto limited = KeyRef::Adopt(root_->FindChild(u"abc", 2, &consumed, false));
  EXPECT_TRUE(limited);
  EXPECT_EQ(consumed, 2);
  consumed = -7;
  EXPECT_FALSE(KeyRef::Adopt(root_->FindChild(nullptr, -1, &consumed, false)));
  EXPECT_EQ(consumed, -7);

  // On a leaf nothing is written.
  consumed = -7;
  EXPECT_FALSE(KeyRef::Adopt(k->FindChild(u"x", -1, &consumed, false)));
  EXPECT_EQ(consumed, -7);
}

TEST_F(KeyNavigationTest, FindChildCreatesOnlyWhatIsMissing) {
  MakeChildren(root_.get(), {u"here"});
  auto existing = KeyRef::Adopt(root_->FindChild(u"HERE", -1, nullptr, true));
  ASSERT_TRUE(existing);
  EXPECT_EQ(NameOf(existing.get()), "here");
  int32_t consumed = 0;
  auto made = KeyRef::Adopt(root_->FindChild(u"there\\x", -1, &consumed, true));
  ASSERT_TRUE(made);
  EXPECT_EQ(NameOf(made.get()), "there");
  EXPECT_EQ(consumed, 5);
  EXPECT_EQ(made->GetType(), CfTypeNone);
  EXPECT_EQ(made->GetValueLength(), 0);
  // With a name length the key made is the name asked for.
  auto cut = KeyRef::Adopt(root_->FindChild(u"abcdef", 3, &consumed, true));
  ASSERT_TRUE(cut);
  EXPECT_EQ(NameOf(cut.get()), "abc");
  EXPECT_EQ(consumed, 3);
  EXPECT_EQ(SortedChildNames(root_.get()), "abc,here,there");
  EXPECT_EQ(file_->LiveKeyCount(), 4);
}

// --- Paths ---------------------------------------------------------------

TEST_F(KeyNavigationTest, OpenKeyAcceptsEitherSeparatorAndATrailingOne) {
  auto made = KeyRef::Adopt(root_->OpenKey(u"one\\two", true));
  ASSERT_TRUE(made);
  for (const char16_t* path : {u"one\\two", u"one/two", u"one\\two\\", u"one/two/", u"ONE/Two"}) {
    auto k = KeyRef::Adopt(root_->OpenKey(path, false));
    EXPECT_EQ(k.get(), made.get()) << "path " << static_cast<int>(path[3]);
  }
  auto one = KeyRef::Adopt(root_->OpenKey(u"one\\", false));
  ASSERT_TRUE(one);
  EXPECT_EQ(NameOf(one.get()), "one");
  EXPECT_EQ(CountOf(made.get()), 1);  // every key passed on the way was released
  EXPECT_EQ(CountOf(one.get()), 2);   // ours and two's
}

TEST_F(KeyNavigationTest, OpenKeyWithAnEmptyPathIsTheKeyItself) {
  auto a = KeyRef::Adopt(root_->CreateChild(u"a", CfTypeNone, nullptr, 0));
  auto same = KeyRef::Adopt(a->OpenKey(u"", false));
  EXPECT_EQ(same.get(), a.get());
  EXPECT_EQ(CountOf(a.get()), 2);
  EXPECT_EQ(a->OpenKey(nullptr, true), nullptr);
}

TEST_F(KeyNavigationTest, OpenKeyCreatesTheMissingComponents) {
  MakeChildren(root_.get(), {u"first"});
  auto last = KeyRef::Adopt(root_->OpenKey(u"first\\second\\third", true));
  ASSERT_TRUE(last);
  EXPECT_EQ(NameOf(last.get()), "third");
  auto second = KeyRef::Adopt(last->GetParent());
  EXPECT_EQ(NameOf(second.get()), "second");
  EXPECT_EQ(second->GetType(), CfTypeNone);
  EXPECT_EQ(second->GetValueLength(), 0);
  EXPECT_EQ(ChildNames(root_.get()), "first");
  EXPECT_EQ(ChildNames(second.get()), "third");
}

TEST_F(KeyNavigationTest, FailedOpenKeyLeavesNoReferences) {
  auto a = KeyRef::Adopt(root_->OpenKey(u"a\\b", true));
  ASSERT_TRUE(a);
  a.reset();
  EXPECT_EQ(root_->OpenKey(u"a\\b\\missing\\deeper", false), nullptr);
  EXPECT_EQ(root_->OpenKey(u"a\\x<y\\z", true), nullptr);  // '<' cannot be in a name
  EXPECT_EQ(file_->LiveKeyCount(), 1);
  EXPECT_EQ(CountOf(root_.get()), 2);
}

TEST_F(KeyNavigationTest, DoubleSeparatorNamesAnEmptyChild) {
  auto k = KeyRef::Adopt(root_->OpenKey(u"a\\\\b", true));
  ASSERT_TRUE(k);
  auto empty = KeyRef::Adopt(k->GetParent());
  EXPECT_EQ(empty->GetName(nullptr, 0), 0);
  auto again = KeyRef::Adopt(root_->OpenKey(u"a//b", false));
  EXPECT_EQ(again.get(), k.get());
}

TEST_F(KeyNavigationTest, OverlongComponentIsCutAndItsNextUnitSkipped) {
  std::u16string path(255, u'n');
  path += u"Xchild";  // the 256th unit is taken as the separator
  auto made = KeyRef::Adopt(root_->OpenKey(path.c_str(), true));
  ASSERT_TRUE(made);
  EXPECT_EQ(NameOf(made.get()), "child");
  auto parent = KeyRef::Adopt(made->GetParent());
  EXPECT_EQ(parent->GetName(nullptr, 0), 255);
}

// --- Ids and occurrences -------------------------------------------------

TEST_F(KeyNavigationTest, ChildrenWithOneIdAreWalkedByOccurrence) {
  std::vector<ICfKey*> made;
  for (int i = 0; i < 3; ++i) {
    const int32_t v = 100 + i;
    made.push_back(root_->CreateChildWithId(1, false, CfTypeBinary, &v, 4));
  }
  MakeChildren(root_.get(), {u"named"});
  for (int32_t n = 0; n < 3; ++n) {
    auto k = KeyRef::Adopt(root_->GetChildById(1, n));
    ASSERT_TRUE(k);
    EXPECT_EQ(k.get(), made[n]);
    EXPECT_EQ(k->GetInt(-1), 100 + n);
    int32_t occurrence = -1;
    EXPECT_EQ(k->GetId(&occurrence), 1u);
    EXPECT_EQ(occurrence, n);
  }
  EXPECT_FALSE(KeyRef::Adopt(root_->GetChildById(1, 3)));
  EXPECT_EQ(KeyRef::Adopt(root_->GetChildById(1, -1)).get(), made[2]);
  EXPECT_EQ(root_->GetChildIntById(1, -1), 100);
  EXPECT_FALSE(KeyRef::Adopt(root_->GetChildById(2, 0)));
  auto named = KeyRef::Adopt(root_->GetChildById(CfNameHash(u"named", -1, nullptr), 0));
  EXPECT_EQ(NameOf(named.get()), "named");
  for (ICfKey* k : made) k->Release();
}

TEST_F(KeyNavigationTest, LastOccurrenceAtTheEndOfTheTable) {
  std::vector<ICfKey*> made;
  for (int i = 0; i < 3; ++i)
    made.push_back(root_->CreateChildWithId(0xFFFFFFFFu, false, 0, nullptr, 0));
  auto last = KeyRef::Adopt(root_->GetChildById(0xFFFFFFFFu, -1));
  EXPECT_EQ(last.get(), made[2]);
  EXPECT_EQ(last->GetIndex(), 2);
  for (ICfKey* k : made) k->Release();
}

TEST_F(KeyNavigationTest, RootKeyHasNoIdAndNoSiblings) {
  int32_t occurrence = -5;
  EXPECT_EQ(root_->GetId(&occurrence), 0u);
  EXPECT_EQ(occurrence, 0);
  EXPECT_EQ(root_->GetId(nullptr), 0u);
  EXPECT_EQ(root_->GetIndex(), -1);
  EXPECT_EQ(root_->GetNextSibling(), nullptr);
  // The move variants still give up the reference they start from.
  root_->AddRef();
  EXPECT_EQ(root_->MoveToNextSibling(), nullptr);
  root_->AddRef();
  EXPECT_EQ(root_->MoveToNextSiblingEx(true), nullptr);
  root_->AddRef();
  EXPECT_EQ(root_->MoveToParent(), nullptr);
  EXPECT_EQ(CountOf(root_.get()), 2);
  EXPECT_EQ(NameOf(root_.get()), "Root");  // not deleted
}

// --- Names and indexes ----------------------------------------------------

TEST_F(KeyNavigationTest, GetNameHonoursTheCapacity) {
  MakeChildren(root_.get(), {u"abc"});
  auto k = KeyRef::Adopt(root_->FindChild(u"abc", -1, nullptr, false));
  CfChar buffer[8];
  std::fill(buffer, buffer + 8, u'#');
  EXPECT_EQ(k->GetName(nullptr, 0), 3);
  EXPECT_EQ(k->GetName(buffer, 3), -1);
  EXPECT_EQ(buffer[0], u'#');
  EXPECT_EQ(k->GetName(buffer, 4), 3);
  EXPECT_EQ(std::u16string(buffer), u"abc");
  EXPECT_EQ(k->GetName(buffer, -1), -1);
}

TEST_F(KeyNavigationTest, UnnamedChildLeavesTheBufferAlone) {
  auto k = KeyRef::Adopt(root_->CreateChildWithId(5, false, CfTypeNone, nullptr, 0));
  CfChar buffer[4] = {u'x', u'y', u'z', 0};
  EXPECT_EQ(k->GetName(buffer, 4), 0);
  EXPECT_EQ(std::u16string(buffer), u"xyz");
  EXPECT_EQ(k->GetName(nullptr, 0), 0);
}

TEST_F(KeyNavigationTest, IndexFollowsInsertionsAndDeletionsBeforeIt) {
  // Ids order the table: unnamed children with chosen ids place themselves.
  auto last = KeyRef::Adopt(root_->CreateChildWithId(300, false, 0, nullptr, 0));
  EXPECT_EQ(last->GetIndex(), 0);
  auto first = KeyRef::Adopt(root_->CreateChildWithId(100, false, 0, nullptr, 0));
  EXPECT_EQ(first->GetIndex(), 0);
  EXPECT_EQ(last->GetIndex(), 1);
  auto middle = KeyRef::Adopt(root_->CreateChildWithId(200, false, 0, nullptr, 0));
  EXPECT_EQ(last->GetIndex(), 2);
  EXPECT_EQ(middle->GetIndex(), 1);
  ASSERT_TRUE(first->Delete());
  EXPECT_EQ(middle->GetIndex(), 0);
  EXPECT_EQ(last->GetIndex(), 1);
  EXPECT_EQ(first->GetIndex(), -1);
  ExpectSound(file_);
}

// --- Movement -------------------------------------------------------------

TEST_F(KeyNavigationTest, IteratorIdiomVisitsEveryChildOnce) {
  MakeChildren(root_.get(), {u"a", u"b", u"c", u"d"});
  std::vector<std::string> seen;
  for (ICfKey* k = root_->GetFirstChild(); k != nullptr; k = k->MoveToNextSibling()) {
    seen.push_back(NameOf(k));
  }
  EXPECT_EQ(seen.size(), 4u);
  EXPECT_EQ(file_->LiveKeyCount(), 1);
}

TEST_F(KeyNavigationTest, MoveOperationsReleaseWhereTheyStart) {
  auto made = KeyRef::Adopt(root_->OpenKey(u"p\\q", true));
  made->CreateChildWithId(9, false, 0, nullptr, 0)->Release();
  made.reset();

  root_->AddRef();
  ICfKey* k = root_->MoveToChild(u"P", -1);
  ASSERT_NE(k, nullptr);
  EXPECT_EQ(CountOf(root_.get()), 3);  // ours, the file's, p's
  k = k->MoveToFirstChild();
  ASSERT_NE(k, nullptr);
  EXPECT_EQ(NameOf(k), "q");
  k = k->MoveToChildById(9);
  ASSERT_NE(k, nullptr);
  EXPECT_EQ(k->GetId(nullptr), 9u);
  k = k->MoveToParent();
  ASSERT_NE(k, nullptr);
  EXPECT_EQ(NameOf(k), "q");
  EXPECT_EQ(CountOf(k), 1);
  EXPECT_EQ(k->MoveToChild(u"nothing", -1), nullptr);  // released even so
  EXPECT_EQ(file_->LiveKeyCount(), 1);
  EXPECT_EQ(CountOf(root_.get()), 2);
}

// --- Detached keys ----------------------------------------------------------

TEST_F(KeyNavigationTest, DetachedKeyAnswersAsDetached) {
  auto a = KeyRef::Adopt(root_->OpenKey(u"a\\b", true));
  auto parent = KeyRef::Adopt(a->GetParent());
  MakeChildren(parent.get(), {u"c"});
  auto kept_parent = KeyRef::Adopt(root_->FindChild(u"a", -1, nullptr, false));
  ASSERT_TRUE(kept_parent->Delete());

  for (ICfKey* k : {a.get(), parent.get()}) {
    EXPECT_EQ(k->GetNextSibling(), nullptr);
    EXPECT_EQ(k->GetFirstChild(), nullptr);
    EXPECT_EQ(k->FindChild(u"c", -1, nullptr, false), nullptr);
    EXPECT_EQ(k->FindChild(u"c", -1, nullptr, true), nullptr);
    EXPECT_EQ(k->GetChildById(CfNameHash(u"c", -1, nullptr), 0), nullptr);
    EXPECT_EQ(k->OpenKey(u"c", true), nullptr);
    EXPECT_EQ(k->GetName(nullptr, 0), -1);
    EXPECT_EQ(k->GetIndex(), -1);
    int32_t occurrence = 77;
    EXPECT_EQ(k->GetId(&occurrence), 0u);
    EXPECT_EQ(occurrence, 77);
    auto self = KeyRef::Adopt(k->OpenKey(u"", false));
    EXPECT_EQ(self.get(), k);
  }
  // The former parent is still reported.
  auto former = KeyRef::Adopt(a->GetParent());
  EXPECT_EQ(former.get(), parent.get());
  auto root_again = KeyRef::Adopt(parent->GetParent());
  EXPECT_EQ(root_again.get(), root_.get());
  // Moves still release.
  a->AddRef();
  EXPECT_EQ(a->MoveToFirstChild(), nullptr);
  a->AddRef();
  EXPECT_EQ(a->MoveToNextSibling(), nullptr);
  ExpectSound(file_);
  EXPECT_EQ(ChildNames(root_.get()), "");
}

TEST_F(KeyNavigationTest, ReleaseOfAnUnregisteredKeyIsRefused) {
  MakeChildren(root_.get(), {u"k"});
  ICfKey* k = root_->FindChild(u"k", -1, nullptr, false);
  EXPECT_EQ(k->Release(), 0);
  // Pooled now: a stray release finds no registration and changes nothing.
  EXPECT_EQ(k->Release(), -1);
  EXPECT_LE(file_->PoolSize(), kCfIdlePoolLimit);
}

}  // namespace
}  // namespace orvo::testing
