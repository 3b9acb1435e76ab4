#include "server/registrar/memory_registry.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/result.h"
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
  EXPECT_EQ(reg_.KeyExists(kHkcu, u"Software"), kResultFalse);
  ASSERT_EQ(reg_.CreateKey(kHkcu, u"Software\\Vendor\\App"), kResultOk);
  EXPECT_EQ(reg_.KeyExists(kHkcu, u"Software"), kResultOk);
  EXPECT_EQ(reg_.KeyExists(kHkcu, u"SOFTWARE\\vendor\\aPP"), kResultOk);
  EXPECT_EQ(reg_.KeyExists(kHkcu, u"Software\\Vendor\\App\\More"), kResultFalse);
  EXPECT_EQ(reg_.KeyExists(kHkcu, u""), kResultOk);  // the root itself
  // Creating again under another spelling finds the same key and keeps the
  // first spelling.
  ASSERT_EQ(reg_.CreateKey(kHkcu, u"software\\VENDOR\\app\\More"), kResultOk);
  EXPECT_EQ(Dump(reg_, kHkcu), (Lines{"Software", "Software\\Vendor", "Software\\Vendor\\App",
                                      "Software\\Vendor\\App\\More"}));
}

TEST_F(MemoryRegistryTest, RootsAreSeparate) {
  ASSERT_EQ(reg_.CreateKey(kHkcu, u"A"), kResultOk);
  EXPECT_EQ(reg_.KeyExists(kHklm, u"A"), kResultFalse);
  for (RegistryRoot other :
       {RegistryRoot::kClassesRoot, kHklm, RegistryRoot::kUsers, RegistryRoot::kCurrentConfig}) {
    EXPECT_TRUE(Dump(reg_, other).empty());
  }
}

TEST_F(MemoryRegistryTest, ValuesAreSetReplacedReadAndDeleted) {
  ASSERT_EQ(reg_.CreateKey(kHkcu, u"K"), kResultOk);
  ASSERT_EQ(reg_.SetDefaultValue(kHkcu, u"K", u"default"), kResultOk);
  ASSERT_EQ(reg_.SetStringValue(kHkcu, u"K", u"Name", u"one"), kResultOk);
  ASSERT_EQ(reg_.SetStringValue(kHkcu, u"k", u"NAME", u"two"), kResultOk);
  std::u16string data;
  ASSERT_EQ(reg_.GetStringValue(kHkcu, u"K", u"name", &data), kResultOk);
  EXPECT_EQ(data, u"two");
  ASSERT_EQ(reg_.GetStringValue(kHkcu, u"K", u"", &data), kResultOk);
  EXPECT_EQ(data, u"default");
  EXPECT_EQ(Dump(reg_, kHkcu), (Lines{"K", "K @=default", "K Name=two"}));

  EXPECT_EQ(reg_.DeleteValue(kHkcu, u"K", u"nAmE"), kResultOk);
  EXPECT_EQ(reg_.DeleteValue(kHkcu, u"K", u"Name"), kResultNotFound);
  EXPECT_EQ(reg_.GetStringValue(kHkcu, u"K", u"Name", &data), kResultNotFound);
  EXPECT_EQ(reg_.DeleteValue(kHkcu, u"K", u""), kResultOk);
  EXPECT_EQ(Dump(reg_, kHkcu), (Lines{"K"}));
}

TEST_F(MemoryRegistryTest, ValuesNeedAnExistingKey) {
  std::u16string data = u"untouched";
  EXPECT_EQ(reg_.SetStringValue(kHkcu, u"Missing", u"v", u"x"), kResultNotFound);
  EXPECT_EQ(reg_.DeleteValue(kHkcu, u"Missing", u"v"), kResultNotFound);
  EXPECT_EQ(reg_.GetStringValue(kHkcu, u"Missing", u"v", &data), kResultNotFound);
  EXPECT_EQ(data, u"untouched");
  std::vector<std::u16string> names;
  EXPECT_EQ(reg_.EnumerateSubkeys(kHkcu, u"Missing", &names), kResultNotFound);
  EXPECT_EQ(reg_.EnumerateValues(kHkcu, u"Missing", &names), kResultNotFound);
  EXPECT_TRUE(Dump(reg_, kHkcu).empty());
}

TEST_F(MemoryRegistryTest, DeleteTreeRemovesTheKeyWithEverythingBelow) {
  ASSERT_EQ(reg_.CreateKey(kHkcu, u"A\\B\\C"), kResultOk);
  ASSERT_EQ(reg_.CreateKey(kHkcu, u"A\\D"), kResultOk);
  ASSERT_EQ(reg_.SetStringValue(kHkcu, u"A\\B", u"v", u"x"), kResultOk);
  EXPECT_EQ(reg_.DeleteTree(kHkcu, u"a\\b"), kResultOk);
  EXPECT_EQ(Dump(reg_, kHkcu), (Lines{"A", "A\\D"}));
  EXPECT_EQ(reg_.DeleteTree(kHkcu, u"A\\B"), kResultNotFound);
  EXPECT_EQ(reg_.DeleteTree(kHkcu, u"X\\Y"), kResultNotFound);
  // A root is never deleted.
  EXPECT_EQ(reg_.DeleteTree(kHkcu, u""), kResultInvalidArg);
  EXPECT_EQ(Dump(reg_, kHkcu), (Lines{"A", "A\\D"}));
  // The name comes free again.
  EXPECT_EQ(reg_.DeleteTree(kHkcu, u"A"), kResultOk);
  ASSERT_EQ(reg_.CreateKey(kHkcu, u"a"), kResultOk);
  EXPECT_EQ(Dump(reg_, kHkcu), (Lines{"a"}));
}

TEST_F(MemoryRegistryTest, EnumeratesInFoldedNameOrder) {
  for (const char16_t* name : {u"beta", u"Alpha", u"gamma", u"BETA2"}) {
    ASSERT_EQ(reg_.CreateKey(kHkcu, name), kResultOk);
    ASSERT_EQ(reg_.SetStringValue(kHkcu, u"", name, u"v"), kResultOk);
  }
  std::vector<std::u16string> names;
  ASSERT_EQ(reg_.EnumerateSubkeys(kHkcu, u"", &names), kResultOk);
  EXPECT_EQ(names, (std::vector<std::u16string>{u"Alpha", u"beta", u"BETA2", u"gamma"}));
  ASSERT_EQ(reg_.EnumerateValues(kHkcu, u"", &names), kResultOk);
  EXPECT_EQ(names, (std::vector<std::u16string>{u"Alpha", u"beta", u"BETA2", u"gamma"}));
}

TEST_F(MemoryRegistryTest, LatinOneLettersFoldToo) {
  ASSERT_EQ(reg_.CreateKey(kHkcu, u"\u00E9t\u00E9"), kResultOk);
  EXPECT_EQ(reg_.KeyExists(kHkcu, u"\u00C9T\u00C9"), kResultOk);
  // The division sign and the multiplication sign are no letters.
  ASSERT_EQ(reg_.CreateKey(kHkcu, u"\u00F7"), kResultOk);
  EXPECT_EQ(reg_.KeyExists(kHkcu, u"\u00D7"), kResultFalse);
}

class InvalidPathTest : public ::testing::TestWithParam<std::u16string> {};

TEST_P(InvalidPathTest, EveryOperationRefusesIt) {
  MemoryRegistry reg;
  ASSERT_EQ(reg.CreateKey(kHkcu, u"A"), kResultOk);
  const std::u16string& path = GetParam();
  std::u16string data;
  std::vector<std::u16string> names;
  EXPECT_FALSE(IsValidKeyPath(path));
  EXPECT_EQ(reg.CreateKey(kHkcu, path), kResultInvalidArg);
  EXPECT_EQ(reg.KeyExists(kHkcu, path), kResultInvalidArg);
  EXPECT_EQ(reg.DeleteTree(kHkcu, path), kResultInvalidArg);
  EXPECT_EQ(reg.SetStringValue(kHkcu, path, u"v", u"x"), kResultInvalidArg);
  EXPECT_EQ(reg.DeleteValue(kHkcu, path, u"v"), kResultInvalidArg);
  EXPECT_EQ(reg.GetStringValue(kHkcu, path, u"v", &data), kResultInvalidArg);
  EXPECT_EQ(reg.EnumerateSubkeys(kHkcu, path, &names), kResultInvalidArg);
  EXPECT_EQ(reg.EnumerateValues(kHkcu, path, &names), kResultInvalidArg);
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
  EXPECT_EQ(reg.CreateKey(kHkcu, DeepPath(512)), kResultOk);
  EXPECT_EQ(reg.KeyExists(kHkcu, DeepPath(512)), kResultOk);
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
