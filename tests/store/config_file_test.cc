// The file object: opening and saving, the root key, the key registry and the
// idle pool of key objects.
#include "store/config_file.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "store/key_registry.h"
#include "tests/store/key_test_util.h"
#include "tests/testing/temp_dir.h"

using orvo::store::CreateConfigFile;

namespace orvo::testing {
namespace {

// --- Opening and saving -------------------------------------------------

class ConfigFileIoTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(dir_.ok()); }
  TempDir dir_;
};

TEST_F(ConfigFileIoTest, OpenAlwaysCreatesAnEmptyFileAndANewTree) {
  const std::u16string path = dir_.Path(u"new.set");
  CConfigFile* file = CreateConfigFile(path.c_str(), kOpenAlways);
  ASSERT_NE(file, nullptr);
  EXPECT_TRUE(std::filesystem::exists(dir_.NativePath(u"new.set")));
  EXPECT_EQ(std::filesystem::file_size(dir_.NativePath(u"new.set")), 0u);
  {
    auto root = KeyRef::Adopt(file->GetRootKey());
    ASSERT_TRUE(root);
    EXPECT_EQ(NameOf(root.get()), "Root");
    EXPECT_EQ(root->GetType(), CfTypeNone);
    EXPECT_EQ(root->GetFirstChild(), nullptr);
  }
  ExpectSettled(file);
  EXPECT_EQ(file->Release(), 0);
  // Nothing is written on release.
  EXPECT_EQ(std::filesystem::file_size(dir_.NativePath(u"new.set")), 0u);
}

TEST_F(ConfigFileIoTest, OpenExistingOnAMissingFileGivesNothing) {
  const std::u16string path = dir_.Path(u"missing.set");
  EXPECT_EQ(CreateConfigFile(path.c_str(), kOpenExisting), nullptr);
  EXPECT_FALSE(std::filesystem::exists(dir_.NativePath(u"missing.set")));
}

TEST_F(ConfigFileIoTest, EmptyPathFailsToOpen) {
  EXPECT_EQ(CreateConfigFile(u"", kOpenAlways), nullptr);
}

TEST_F(ConfigFileIoTest, SaveWithANewPathMovesTheObjectThere) {
  const std::u16string first = dir_.Path(u"first.set");
  const std::u16string second = dir_.Path(u"second.set");
  CConfigFile* file = CreateConfigFile(first.c_str(), kOpenAlways);
  ASSERT_NE(file, nullptr);
  {
    auto app = KeyRef::Adopt(file->OpenKey(u"APP", true));
    ASSERT_TRUE(app);
  }
  ASSERT_TRUE(file->Save(second.c_str()));
  EXPECT_EQ(std::filesystem::file_size(dir_.NativePath(u"first.set")), 0u);
  const auto size_after_first_save = std::filesystem::file_size(dir_.NativePath(u"second.set"));
  EXPECT_GT(size_after_first_save, 512u);

  {
    auto more = KeyRef::Adopt(file->OpenKey(u"APP\\More", true));
    ASSERT_TRUE(more);
  }
  ASSERT_TRUE(file->Save(nullptr));  // to the second path again
  EXPECT_EQ(std::filesystem::file_size(dir_.NativePath(u"first.set")), 0u);
  EXPECT_GT(std::filesystem::file_size(dir_.NativePath(u"second.set")), size_after_first_save);
  ExpectSettled(file);
  file->Release();

  // What was saved reads back.
  CConfigFile* reread = CreateConfigFile(second.c_str(), kOpenExisting);
  ASSERT_NE(reread, nullptr);
  {
    auto more = KeyRef::Adopt(reread->OpenKey(u"app/more", false));
    EXPECT_TRUE(more);
  }
  ExpectSettled(reread);
  reread->Release();
}

TEST_F(ConfigFileIoTest, SaveWithoutAnyPathFails) {
  CConfigFile* file = CreateConfigFile(nullptr, kOpenAlways);
  ASSERT_NE(file, nullptr);
  EXPECT_FALSE(file->Save(nullptr));
  EXPECT_FALSE(file->Save(u""));
  EXPECT_TRUE(std::filesystem::is_empty(dir_.NativePath(u"")));
  // A path given later makes it savable.
  const std::u16string path = dir_.Path(u"late.set");
  EXPECT_TRUE(file->Save(path.c_str()));
  EXPECT_TRUE(file->Save(nullptr));
  file->Release();
}

TEST_F(ConfigFileIoTest, LeafRootReadBackTakesChildren) {
  // A root without children is saved as a leaf and reads back as one; its
  // first child gives it a new record, which becomes the file's root.
  const std::u16string path = dir_.Path(u"leaf.set");
  CConfigFile* file = CreateConfigFile(path.c_str(), kOpenAlways);
  ASSERT_NE(file, nullptr);
  ASSERT_TRUE(file->Save(nullptr));
  file->Release();

  file = CreateConfigFile(path.c_str(), kOpenExisting);
  ASSERT_NE(file, nullptr);
  {
    auto root = KeyRef::Adopt(file->GetRootKey());
    ASSERT_TRUE(root->SetAttributes(0x20));
    auto a = KeyRef::Adopt(root->CreateChild(u"a", CfTypeNone, nullptr, 0));
    ASSERT_TRUE(a);
    auto b = KeyRef::Adopt(root->CreateChildWithId(3, true, CfTypeNone, nullptr, 0));
    ASSERT_TRUE(b);
    auto again = KeyRef::Adopt(file->GetRootKey());
    EXPECT_EQ(again.get(), root.get());
    EXPECT_EQ(NameOf(root.get()), "Root");
    // Rebuilt into a branch: the attribute nibble is not carried over.
    EXPECT_EQ(root->GetAttributes(), 0);
    EXPECT_EQ(SortedChildNames(root.get()), ",a");
    ExpectSound(file);
  }
  ASSERT_TRUE(file->Save(nullptr));
  ExpectSettled(file);
  file->Release();

  file = CreateConfigFile(path.c_str(), kOpenExisting);
  ASSERT_NE(file, nullptr);
  {
    auto a = KeyRef::Adopt(file->OpenKey(u"a", false));
    EXPECT_TRUE(a);
    auto root = KeyRef::Adopt(file->GetRootKey());
    auto b = KeyRef::Adopt(root->GetChildById(3, 0));
    EXPECT_TRUE(b);
  }
  ExpectSettled(file);
  file->Release();
}

// A path of |length| units inside the test folder.
std::u16string PathOfLength(const TempDir& dir, size_t length) {
  std::u16string path = dir.Path(u"");
  if (path.back() != u'/' && path.back() != u'\\') path += u'/';
  if (path.size() < length) path += std::u16string(length - path.size(), u'p');
  return path;
}

TEST_F(ConfigFileIoTest, PathsThatDoNotFitAreRefusedWhole) {
  const std::u16string longest = PathOfLength(dir_, 255);
  const std::u16string too_long = PathOfLength(dir_, 256);
  ASSERT_EQ(too_long.substr(0, 255), longest);

  // Opening: fails as for a file that cannot be opened; no cut file appears.
  EXPECT_EQ(CreateConfigFile(too_long.c_str(), kOpenAlways), nullptr);
  EXPECT_FALSE(std::filesystem::exists(std::filesystem::path(longest)));

  CConfigFile* file = CreateConfigFile(nullptr, kOpenAlways);
  ASSERT_NE(file, nullptr);
  EXPECT_FALSE(file->Save(too_long.c_str()));
  EXPECT_FALSE(std::filesystem::exists(std::filesystem::path(longest)));
  EXPECT_FALSE(file->Save(nullptr));  // the refused path did not become the object's

  const std::u16string fits = dir_.Path(u"fits.set");
  ASSERT_TRUE(file->Save(fits.c_str()));
  EXPECT_FALSE(file->Save(too_long.c_str()));
  ASSERT_TRUE(file->Save(nullptr));  // still the last path that fitted
  file->Release();
}

// --- Root key ----------------------------------------------------------

TEST_F(KeyTest, RootKeyIsOneObjectWithOneMoreReferenceEachTime) {
  // The fixture holds one reference, the file object another.
  EXPECT_EQ(CountOf(root_.get()), 2);
  ICfKey* again = file_->GetRootKey();
  EXPECT_EQ(again, root_.get());
  EXPECT_EQ(CountOf(root_.get()), 3);
  ICfKey* by_path = file_->OpenKey(u"", false);
  EXPECT_EQ(by_path, root_.get());
  EXPECT_EQ(CountOf(root_.get()), 4);
  EXPECT_EQ(by_path->Release(), 3);
  EXPECT_EQ(again->Release(), 2);
}

TEST_F(KeyTest, FileOpenKeyWalksFromTheRoot) {
  EXPECT_EQ(file_->OpenKey(u"a\\b", false), nullptr);
  EXPECT_EQ(file_->OpenKey(nullptr, true), nullptr);
  auto made = KeyRef::Adopt(file_->OpenKey(u"a\\b", true));
  ASSERT_TRUE(made);
  auto found = KeyRef::Adopt(file_->OpenKey(u"A/B", false));
  EXPECT_EQ(found.get(), made.get());
  EXPECT_EQ(ChildNames(root_.get()), "a");
}

TEST(ConfigFileTest, DestroyingTheFileLeavesNoKeyObjectBehind) {
  // Run under the leak checker: the root key, pooled keys and the tree all go.
  CConfigFile* file = CreateConfigFile(nullptr, kOpenAlways);
  ASSERT_NE(file, nullptr);
  {
    auto a = KeyRef::Adopt(file->OpenKey(u"a\\b\\c", true));
    ASSERT_TRUE(a);
  }
  EXPECT_EQ(file->PoolSize(), 3);
  ExpectSettled(file);
  EXPECT_EQ(file->Release(), 0);
}

TEST(ConfigFileTest, KeysHeldPastTheFileFailSafely) {
  // A caller that keeps a key past the file object's last release breaks the
  // contract; its key must still not reach the dead object.
  CConfigFile* file = CreateConfigFile(nullptr, kOpenAlways);
  ASSERT_NE(file, nullptr);
  ICfKey* kept = file->OpenKey(u"kept", true);
  ASSERT_NE(kept, nullptr);
  EXPECT_EQ(file->Release(), 0);
  EXPECT_EQ(kept->GetName(nullptr, 0), -1);
  EXPECT_FALSE(kept->SetValue(CfTypeBinary, "abcd", 4));
  EXPECT_EQ(kept->CreateChild(u"x", CfTypeNone, nullptr, 0), nullptr);
  ICfKey* parent = kept->GetParent();
  ASSERT_NE(parent, nullptr);
  EXPECT_EQ(NameOf(parent), "<detached>");
  EXPECT_EQ(parent->Release(), 1);
  // The last release frees the key and the root key that it held (the leak
  // checker watches).
  EXPECT_EQ(kept->Release(), 0);
}

// --- Idle pool ---------------------------------------------------------

TEST_F(KeyTest, PoolKeepsFiveAndReusesTheMostRecent) {
  MakeChildren(root_.get(), {u"k1", u"k2", u"k3", u"k4", u"k5", u"k6"});
  // Drain whatever the creations pooled.
  std::vector<ICfKey*> holders;
  while (file_->PoolSize() > 0)
    holders.push_back(root_->CreateChildWithId(99, false, 0, nullptr, 0));
  std::vector<ICfKey*> keys;
  for (const char16_t* name : {u"k1", u"k2", u"k3", u"k4", u"k5", u"k6"}) {
    keys.push_back(root_->FindChild(name, -1, nullptr, false));
    ASSERT_NE(keys.back(), nullptr);
  }
  for (ICfKey* k : keys) EXPECT_EQ(k->Release(), 0);
  EXPECT_EQ(file_->PoolSize(), 5);
  // The next object handed out is the fifth released.
  auto next = KeyRef::Adopt(root_->FindChild(u"k1", -1, nullptr, false));
  EXPECT_EQ(next.get(), keys[4]);
  EXPECT_EQ(file_->PoolSize(), 4);
  for (ICfKey* k : holders) k->Release();
}

TEST_F(KeyTest, PooledObjectComesBackCleanForAnotherNode) {
  auto a = KeyRef::Adopt(root_->CreateChild(u"a", CfTypeNone, nullptr, 0));
  ASSERT_TRUE(a);
  ASSERT_TRUE(a->Delete());
  ICfKey* old = a.get();
  a.reset();  // detached and pooled
  auto b = KeyRef::Adopt(root_->CreateChild(u"b", CfTypeNone, nullptr, 0));
  ASSERT_TRUE(b);
  EXPECT_EQ(b.get(), old);
  EXPECT_EQ(NameOf(b.get()), "b");  // not detached any more
  EXPECT_EQ(b->GetIndex(), 0);
  EXPECT_EQ(CountOf(b.get()), 1);
}

// --- Key registry ------------------------------------------------------

class KeyRegistryTest : public ::testing::Test {
 protected:
  // Fake addresses; the registry never dereferences them.
  static CfNode* Node(uintptr_t n) { return reinterpret_cast<CfNode*>(n * 16); }
  static CCfKeyInterface* Key(uintptr_t n) { return reinterpret_cast<CCfKeyInterface*>(n * 16); }
  bool Sorted() const {
    for (int32_t i = 1; i < registry_.count(); ++i) {
      if (reinterpret_cast<uintptr_t>(registry_.at(i - 1).node) >
          reinterpret_cast<uintptr_t>(registry_.at(i).node)) {
        return false;
      }
    }
    return true;
  }
  CfKeyRegistry registry_;
};

TEST_F(KeyRegistryTest, GrowsBy32FromTheRoomInside) {
  EXPECT_EQ(registry_.capacity(), 32);
  for (uintptr_t i = 0; i < 32; ++i) ASSERT_TRUE(registry_.Insert(Node(97 * i % 101 + 1), Key(i)));
  EXPECT_EQ(registry_.capacity(), 32);
  EXPECT_FALSE(registry_.on_heap());
  ASSERT_TRUE(registry_.Insert(Node(500), Key(500)));
  EXPECT_EQ(registry_.capacity(), 64);
  EXPECT_TRUE(registry_.on_heap());
  for (uintptr_t i = 33; i < 65; ++i) ASSERT_TRUE(registry_.Insert(Node(1000 - i), Key(i)));
  EXPECT_EQ(registry_.capacity(), 96);
  EXPECT_EQ(registry_.count(), 65);
  EXPECT_TRUE(Sorted());
}

// At capacity 192 the first shrink condition (n - 1 < 144) holds from
// n = 144 on; the second (n < 144) is what keeps 192 at 144 and shrinks to
// 160 at 143.
TEST_F(KeyRegistryTest, ThreeQuartersDecidesAtCapacity192) {
  for (uintptr_t i = 0; i < 192; ++i) ASSERT_TRUE(registry_.Insert(Node(i + 1), Key(i)));
  ASSERT_EQ(registry_.capacity(), 192);
  while (registry_.count() > 143) {  // removals starting at 192 down to 144
    registry_.RemoveAt(registry_.count() - 1);
    ASSERT_EQ(registry_.capacity(), 192) << "count " << registry_.count();
  }
  registry_.RemoveAt(0);  // starts at 143
  EXPECT_EQ(registry_.capacity(), 160);
  EXPECT_EQ(registry_.count(), 142);
  EXPECT_TRUE(Sorted());
}

TEST_F(KeyRegistryTest, ShrinksOnlyWellBelowCapacity) {
  for (uintptr_t i = 0; i < 65; ++i) ASSERT_TRUE(registry_.Insert(Node(i + 1), Key(i)));
  ASSERT_EQ(registry_.capacity(), 96);
  // At capacity 96 a removal starting at count n shrinks when n - 1 < 48 and
  // n < 72: first at n = 48.
  while (registry_.count() > 48) {
    registry_.RemoveAt(registry_.count() / 2);
    EXPECT_EQ(registry_.capacity(), 96) << "count " << registry_.count();
  }
  registry_.RemoveAt(0);
  EXPECT_EQ(registry_.capacity(), 64);
  EXPECT_EQ(registry_.count(), 47);
  // At 64: n - 1 < 16 and n < 48, first at n = 16; back inside the object.
  while (registry_.count() > 16) {
    registry_.RemoveAt(registry_.count() - 1);
    EXPECT_EQ(registry_.capacity(), 64);
  }
  registry_.RemoveAt(3);
  EXPECT_EQ(registry_.capacity(), 32);
  EXPECT_FALSE(registry_.on_heap());
  EXPECT_EQ(registry_.count(), 15);
  EXPECT_TRUE(Sorted());
  while (registry_.count() > 0) registry_.RemoveAt(0);
  EXPECT_EQ(registry_.capacity(), 32);
}

TEST_F(KeyRegistryTest, EntriesOfOneNodeKeepTheirOrder) {
  ASSERT_TRUE(registry_.Insert(Node(5), Key(1)));
  ASSERT_TRUE(registry_.Insert(Node(3), Key(2)));
  ASSERT_TRUE(registry_.Insert(Node(5), Key(3)));
  ASSERT_TRUE(registry_.Insert(Node(5), Key(4)));
  const int32_t first = registry_.LowerBound(Node(5));
  EXPECT_EQ(first, 1);
  EXPECT_EQ(registry_.at(1).key, Key(1));
  EXPECT_EQ(registry_.at(2).key, Key(3));
  EXPECT_EQ(registry_.at(3).key, Key(4));
  EXPECT_EQ(registry_.Find(Node(5), Key(3)), 2);
  EXPECT_EQ(registry_.Find(Node(3), Key(3)), -1);
  EXPECT_EQ(registry_.Find(Node(4), Key(2)), -1);

  // Rekey moves the entry behind the entries of its new node.
  registry_.Rekey(1, Node(3));
  EXPECT_EQ(registry_.Find(Node(3), Key(1)), 1);
  EXPECT_EQ(registry_.at(0).key, Key(2));
  EXPECT_EQ(registry_.Find(Node(5), Key(1)), -1);
  registry_.Rekey(0, Node(9));
  EXPECT_EQ(registry_.Find(Node(9), Key(2)), 3);
  EXPECT_EQ(registry_.count(), 4);
  EXPECT_TRUE(Sorted());
}

}  // namespace
}  // namespace orvo::testing
