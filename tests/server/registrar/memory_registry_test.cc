#include "server/registrar/memory_registry.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "server/registrar/result.h"
#include "tests/server/registrar/registry_dump.h"

namespace orvo::registrar {
namespace {

using testing::Dump;
using Lines = std::vector<std::string>;

constexpr RegistryRoot kHkcu = RegistryRoot::kCurrentUser;
constexpr RegistryRoot kHklm = RegistryRoot::kLocalMachine;

class MemoryRegistryTest : public ::testing::Test {
 protected:
  MemoryRegistry reg_;
};

TEST_F(MemoryRegistryTest, CreateMakesParentsAndFindsKeysWithoutRegardToCase) {
  EXPECT_EQ(reg_.KeyExists(kHkcu, u"Software"), kSFalse);
  ASSERT_EQ(reg_.CreateKey(kHkcu, u"Software\\Vendor\\App"), kSOk);
  EXPECT_EQ(reg_.KeyExists(kHkcu, u"Software"), kSOk);
  EXPECT_EQ(reg_.KeyExists(kHkcu, u"SOFTWARE\\vendor\\aPP"), kSOk);
  EXPECT_EQ(reg_.KeyExists(kHkcu, u"Software\\Vendor\\App\\More"), kSFalse);
  EXPECT_EQ(reg_.KeyExists(kHkcu, u""), kSOk);  // the root itself
  // Creating again under another spelling finds the same key and keeps the
  // first spelling.
  ASSERT_EQ(reg_.CreateKey(kHkcu, u"software\\VENDOR\\app\\More"), kSOk);
  EXPECT_EQ(Dump(reg_, kHkcu), (Lines{"Software", "Software\\Vendor", "Software\\Vendor\\App",
                                      "Software\\Vendor\\App\\More"}));
}

TEST_F(MemoryRegistryTest, RootsAreSeparate) {
  ASSERT_EQ(reg_.CreateKey(kHkcu, u"A"), kSOk);
  EXPECT_EQ(reg_.KeyExists(kHklm, u"A"), kSFalse);
  for (RegistryRoot other :
       {RegistryRoot::kClassesRoot, kHklm, RegistryRoot::kUsers, RegistryRoot::kCurrentConfig}) {
    EXPECT_TRUE(Dump(reg_, other).empty());
  }
}

TEST_F(MemoryRegistryTest, ValuesAreSetReplacedReadAndDeleted) {
  ASSERT_EQ(reg_.CreateKey(kHkcu, u"K"), kSOk);
  ASSERT_EQ(reg_.SetDefaultValue(kHkcu, u"K", u"default"), kSOk);
  ASSERT_EQ(reg_.SetStringValue(kHkcu, u"K", u"Name", u"one"), kSOk);
  ASSERT_EQ(reg_.SetStringValue(kHkcu, u"k", u"NAME", u"two"), kSOk);
  std::u16string data;
  ASSERT_EQ(reg_.GetStringValue(kHkcu, u"K", u"name", &data), kSOk);
  EXPECT_EQ(data, u"two");
  ASSERT_EQ(reg_.GetStringValue(kHkcu, u"K", u"", &data), kSOk);
  EXPECT_EQ(data, u"default");
  EXPECT_EQ(Dump(reg_, kHkcu), (Lines{"K", "K @=default", "K Name=two"}));

  EXPECT_EQ(reg_.DeleteValue(kHkcu, u"K", u"nAmE"), kSOk);
  EXPECT_EQ(reg_.DeleteValue(kHkcu, u"K", u"Name"), kENotFound);
  EXPECT_EQ(reg_.GetStringValue(kHkcu, u"K", u"Name", &data), kENotFound);
  EXPECT_EQ(reg_.DeleteValue(kHkcu, u"K", u""), kSOk);
  EXPECT_EQ(Dump(reg_, kHkcu), (Lines{"K"}));
}

TEST_F(MemoryRegistryTest, ValuesNeedAnExistingKey) {
  std::u16string data = u"untouched";
  EXPECT_EQ(reg_.SetStringValue(kHkcu, u"Missing", u"v", u"x"), kENotFound);
  EXPECT_EQ(reg_.DeleteValue(kHkcu, u"Missing", u"v"), kENotFound);
  EXPECT_EQ(reg_.GetStringValue(kHkcu, u"Missing", u"v", &data), kENotFound);
  EXPECT_EQ(data, u"untouched");
  std::vector<std::u16string> names;
  EXPECT_EQ(reg_.EnumerateSubkeys(kHkcu, u"Missing", &names), kENotFound);
  EXPECT_EQ(reg_.EnumerateValues(kHkcu, u"Missing", &names), kENotFound);
  EXPECT_TRUE(Dump(reg_, kHkcu).empty());
}

TEST_F(MemoryRegistryTest, DeleteTreeRemovesTheKeyWithEverythingBelow) {
  ASSERT_EQ(reg_.CreateKey(kHkcu, u"A\\B\\C"), kSOk);
  ASSERT_EQ(reg_.CreateKey(kHkcu, u"A\\D"), kSOk);
  ASSERT_EQ(reg_.SetStringValue(kHkcu, u"A\\B", u"v", u"x"), kSOk);
  EXPECT_EQ(reg_.DeleteTree(kHkcu, u"a\\b"), kSOk);
  EXPECT_EQ(Dump(reg_, kHkcu), (Lines{"A", "A\\D"}));
  EXPECT_EQ(reg_.DeleteTree(kHkcu, u"A\\B"), kENotFound);
  EXPECT_EQ(reg_.DeleteTree(kHkcu, u"X\\Y"), kENotFound);
  // A root is never deleted.
  EXPECT_EQ(reg_.DeleteTree(kHkcu, u""), kEInvalidArg);
  EXPECT_EQ(Dump(reg_, kHkcu), (Lines{"A", "A\\D"}));
  // The name comes free again.
  EXPECT_EQ(reg_.DeleteTree(kHkcu, u"A"), kSOk);
  ASSERT_EQ(reg_.CreateKey(kHkcu, u"a"), kSOk);
  EXPECT_EQ(Dump(reg_, kHkcu), (Lines{"a"}));
}

TEST_F(MemoryRegistryTest, EnumeratesInFoldedNameOrder) {
  for (const char16_t* name : {u"beta", u"Alpha", u"gamma", u"BETA2"}) {
    ASSERT_EQ(reg_.CreateKey(kHkcu, name), kSOk);
    ASSERT_EQ(reg_.SetStringValue(kHkcu, u"", name, u"v"), kSOk);
  }
  std::vector<std::u16string> names;
  ASSERT_EQ(reg_.EnumerateSubkeys(kHkcu, u"", &names), kSOk);
  EXPECT_EQ(names, (std::vector<std::u16string>{u"Alpha", u"beta", u"BETA2", u"gamma"}));
  ASSERT_EQ(reg_.EnumerateValues(kHkcu, u"", &names), kSOk);
  EXPECT_EQ(names, (std::vector<std::u16string>{u"Alpha", u"beta", u"BETA2", u"gamma"}));
}

TEST_F(MemoryRegistryTest, LatinOneLettersFoldToo) {
  ASSERT_EQ(reg_.CreateKey(kHkcu, u"\u00E9t\u00E9"), kSOk);
  EXPECT_EQ(reg_.KeyExists(kHkcu, u"\u00C9T\u00C9"), kSOk);
  // The division sign and the multiplication sign are no letters.
  ASSERT_EQ(reg_.CreateKey(kHkcu, u"\u00F7"), kSOk);
  EXPECT_EQ(reg_.KeyExists(kHkcu, u"\u00D7"), kSFalse);
}

class InvalidPathTest : public ::testing::TestWithParam<std::u16string> {};

TEST_P(InvalidPathTest, EveryOperationRefusesIt) {
  MemoryRegistry reg;
  ASSERT_EQ(reg.CreateKey(kHkcu, u"A"), kSOk);
  const std::u16string& path = GetParam();
  std::u16string data;
  std::vector<std::u16string> names;
  EXPECT_FALSE(IsValidKeyPath(path));
  EXPECT_EQ(reg.CreateKey(kHkcu, path), kEInvalidArg);
  EXPECT_EQ(reg.KeyExists(kHkcu, path), kEInvalidArg);
  EXPECT_EQ(reg.DeleteTree(kHkcu, path), kEInvalidArg);
  EXPECT_EQ(reg.SetStringValue(kHkcu, path, u"v", u"x"), kEInvalidArg);
  EXPECT_EQ(reg.DeleteValue(kHkcu, path, u"v"), kEInvalidArg);
  EXPECT_EQ(reg.GetStringValue(kHkcu, path, u"v", &data), kEInvalidArg);
  EXPECT_EQ(reg.EnumerateSubkeys(kHkcu, path, &names), kEInvalidArg);
  EXPECT_EQ(reg.EnumerateValues(kHkcu, path, &names), kEInvalidArg);
  EXPECT_EQ(Dump(reg, kHkcu), (Lines{"A"}));
}

std::u16string DeepPath(int components) {
  std::u16string path = u"d";
  for (int i = 1; i < components; ++i) path += u"\\d";
  return path;
}

INSTANTIATE_TEST_SUITE_P(Paths, InvalidPathTest,
                         ::testing::Values(u"\\A", u"A\\", u"A\\\\B", u"\\",
                                           std::u16string(256, u'n'),
                                           u"A\\" + std::u16string(256, u'n'), DeepPath(513)));

TEST(KeyPathTest, LimitsAreInclusive) {
  EXPECT_TRUE(IsValidKeyPath(u""));
  EXPECT_TRUE(IsValidKeyPath(std::u16string(255, u'n')));
  EXPECT_TRUE(IsValidKeyPath(DeepPath(512)));
  EXPECT_TRUE(IsValidKeyPath(u"a/b c\\{x}"));
  MemoryRegistry reg;
  EXPECT_EQ(reg.CreateKey(kHkcu, DeepPath(512)), kSOk);
  EXPECT_EQ(reg.KeyExists(kHkcu, DeepPath(512)), kSOk);
}

TEST(RegistryRootTest, ShortAndLongNamesInAnyCase) {
  struct Case {
    const char16_t* name;
    RegistryRoot root;
  };
  const Case cases[] = {
      {u"HKCR", RegistryRoot::kClassesRoot},
      {u"hkey_classes_root", RegistryRoot::kClassesRoot},
      {u"HKCU", RegistryRoot::kCurrentUser},
      {u"HKEY_CURRENT_USER", RegistryRoot::kCurrentUser},
      {u"hklm", RegistryRoot::kLocalMachine},
      {u"HKEY_LOCAL_MACHINE", RegistryRoot::kLocalMachine},
      {u"HKU", RegistryRoot::kUsers},
      {u"HKEY_USERS", RegistryRoot::kUsers},
      {u"HkCc", RegistryRoot::kCurrentConfig},
      {u"HKEY_CURRENT_CONFIG", RegistryRoot::kCurrentConfig},
  };
  for (const Case& c : cases) {
    RegistryRoot root = RegistryRoot::kUsers;
    if (c.root == RegistryRoot::kUsers) root = RegistryRoot::kClassesRoot;
    EXPECT_TRUE(ParseRegistryRoot(c.name, &root)) << testing::Narrow(c.name);
    EXPECT_EQ(root, c.root) << testing::Narrow(c.name);
  }
  RegistryRoot root = RegistryRoot::kUsers;
  for (const char16_t* bad : {u"", u"HKPD", u"HKEY_DYN_DATA", u"HKCR ", u"HKEY_CLASSES", u"CR"}) {
    EXPECT_FALSE(ParseRegistryRoot(bad, &root)) << testing::Narrow(bad);
  }
  EXPECT_EQ(root, RegistryRoot::kUsers);
  EXPECT_EQ(std::u16string(RegistryRootName(RegistryRoot::kLocalMachine)), u"HKLM");
}

}  // namespace
}  // namespace orvo::registrar
