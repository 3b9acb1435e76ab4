// Keys: values, attributes, typed readers and the child shortcuts.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "store/config_file.h"
#include "store/key.h"
#include "tests/store/key_test_util.h"

namespace orvo::testing {
namespace {

class KeyValuesTest : public KeyTest {
 protected:
  void SetUp() override {
    KeyTest::SetUp();
    key_.attach(root_->CreateChild(u"value", CfTypeNone, nullptr, 0));
    ASSERT_TRUE(key_);
  }
  void TearDown() override {
    key_.reset();
    KeyTest::TearDown();
  }

  std::string Bytes(ICfKey* k) {
    std::string s(static_cast<size_t>(k->GetValueLength()), '\0');
    if (k->GetValue(&s[0], static_cast<int32_t>(s.size()) + 1) != static_cast<int32_t>(s.size())) {
      return "<unreadable>";
    }
    return s;
  }

  KeyRef key_;
};

// --- Writing values --------------------------------------------------------

TEST_F(KeyValuesTest, WideStringLengthIsInferred) {
  ASSERT_TRUE(key_->SetValue(CfTypeWString, u"hello", -1));
  EXPECT_EQ(key_->GetValueLength(), 12);
  EXPECT_EQ(key_->GetType(), CfTypeWString);
  CfChar text[6];
  EXPECT_EQ(key_->GetValue(text, sizeof(text)), 12);
  EXPECT_EQ(std::u16string(text), u"hello");
  EXPECT_EQ(text[5], 0);
}

TEST_F(KeyValuesTest, InferredLengthsByType) {
  ASSERT_TRUE(key_->SetValue(CfTypeString, "abc", -1));
  EXPECT_EQ(Bytes(key_.get()), std::string("abc\0", 4));
  ASSERT_TRUE(key_->SetValue(CfTypeBinary, "data", -1));
  EXPECT_EQ(key_->GetValueLength(), 0);
  EXPECT_EQ(key_->GetType(), CfTypeBinary);
  ASSERT_TRUE(key_->SetValue(CfTypeNone, "data", -1));
  EXPECT_EQ(key_->GetValueLength(), 0);
  ASSERT_TRUE(key_->SetValue(CfTypeWString, nullptr, -1));  // no data, no value
  EXPECT_EQ(key_->GetValueLength(), 0);
  EXPECT_EQ(key_->GetType(), CfTypeWString);
}

TEST_F(KeyValuesTest, ShorterAndLongerValuesRoundTrip) {
  const std::string big(300, 'x');
  ASSERT_TRUE(key_->SetValue(CfTypeBinary, big.data(), 300));
  EXPECT_EQ(Bytes(key_.get()), big);
  ASSERT_TRUE(key_->SetValue(CfTypeString, "hi", 3));
  EXPECT_EQ(Bytes(key_.get()), std::string("hi\0", 3));
  EXPECT_EQ(key_->GetType(), CfTypeString);
  ASSERT_TRUE(key_->SetValue(CfTypeBinary, big.data(), 299));  // fits the old record
  EXPECT_EQ(Bytes(key_.get()), big.substr(0, 299));
  const std::string bigger(1000, 'y');
  ASSERT_TRUE(key_->SetValue(CfTypeBinary, bigger.data(), 1000));
  EXPECT_EQ(Bytes(key_.get()), bigger);
  ASSERT_TRUE(key_->SetValue(CfTypeNone, nullptr, 0));
  EXPECT_EQ(key_->GetValueLength(), 0);
  EXPECT_EQ(key_->GetType(), CfTypeNone);
  // The key is still found by its name after each new record.
  auto again = KeyRef::Adopt(root_->FindChild(u"value", -1, nullptr, false));
  EXPECT_EQ(again.get(), key_.get());
  ExpectSound(file_);
}

// A value written in place over a longer one is stored whole, down to one
// byte, and nothing of the old one shows.
TEST_F(KeyValuesTest, InPlaceValuesOfEveryShorterLength) {
  const struct {
    std::string old_value;
    std::string new_value;
  } kCases[] = {
      {"AB", "Z"},     {"ABCDEFGH", "Z"}, {std::string(300, 'A'), "Z"},
      {"ABCD", "WXY"}, {"ABCD", "WXYZ"},  {"ABCD", ""},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.old_value.size());
    ASSERT_TRUE(
        key_->SetValue(CfTypeBinary, c.old_value.data(), static_cast<int32_t>(c.old_value.size())));
    ASSERT_TRUE(
        key_->SetValue(CfTypeString, c.new_value.data(), static_cast<int32_t>(c.new_value.size())));
    EXPECT_EQ(Bytes(key_.get()), c.new_value);
    EXPECT_EQ(key_->GetType(), CfTypeString);
  }
  ExpectSound(file_);
}

TEST_F(KeyValuesTest, LargestValueFitsAndLargerIsRefused) {
  std::vector<uint8_t> data(65536, 0x5A);
  EXPECT_FALSE(key_->SetValue(CfTypeBinary, data.data(), 65536));
  EXPECT_EQ(key_->GetValueLength(), 0);
  ASSERT_TRUE(key_->SetValue(CfTypeBinary, data.data(), 65535));
  EXPECT_EQ(key_->GetValueLength(), 65535);
  // An 8-bit string too long for the field is refused, as is one of 65535
  // bytes that would need a 65536th for the NUL.
  std::string text(65535, 'a');
  EXPECT_FALSE(key_->SetValue(CfTypeString, text.c_str(), -1));
  EXPECT_EQ(key_->GetType(), CfTypeBinary);
  text.pop_back();
  ASSERT_TRUE(key_->SetValue(CfTypeString, text.c_str(), -1));
  EXPECT_EQ(key_->GetValueLength(), 65535);
}

// Arguments that must be refused without any change.
struct RefusedSetValue {
  const char* what;
  int32_t type;
  bool with_data;
  int32_t length;
};

class KeyValuesRefusalTest : public KeyValuesTest,
                             public ::testing::WithParamInterface<RefusedSetValue> {};

TEST_P(KeyValuesRefusalTest, LeavesTheValueAlone) {
  ASSERT_TRUE(key_->SetValue(CfTypeString, "keep", 5));
  ASSERT_TRUE(key_->SetAttributes(0x20));
  const RefusedSetValue& p = GetParam();
  const char data[16] = "0123456789";
  EXPECT_FALSE(key_->SetValue(p.type, p.with_data ? data : nullptr, p.length)) << p.what;
  EXPECT_EQ(Bytes(key_.get()), std::string("keep\0", 5));
  EXPECT_EQ(key_->GetType(), CfTypeString);
  EXPECT_EQ(key_->GetAttributes(), 0x20);
  ExpectSound(file_);
}

INSTANTIATE_TEST_SUITE_P(
    Arguments, KeyValuesRefusalTest,
    ::testing::Values(RefusedSetValue{"length below -1", CfTypeBinary, true, -2},
                      RefusedSetValue{"very negative length", CfTypeBinary, true, INT32_MIN},
                      RefusedSetValue{"length above 65535", CfTypeBinary, true, 65536},
                      RefusedSetValue{"huge length", CfTypeBinary, true, INT32_MAX},
                      RefusedSetValue{"branch bit in the type", CfTypeBinary | 0x04, true, 2},
                      RefusedSetValue{"key-bound bit in the type", CfTypeBinary | 0x08, true, 2},
                      RefusedSetValue{"type beyond the flags byte", 0x101, true, 2},
                      RefusedSetValue{"negative type", -1, true, 2},
                      RefusedSetValue{"data missing for a length", CfTypeBinary, false, 4},
                      RefusedSetValue{"long value missing data", CfTypeBinary, false, 100}));

TEST_F(KeyValuesTest, SetValueIsRefusedOnRootDetachedAndProtectedKeys) {
  EXPECT_FALSE(root_->SetValue(CfTypeBinary, "abcd", 4));
  EXPECT_EQ(root_->GetValueLength(), 0);

  ASSERT_TRUE(key_->SetValue(CfTypeBinary, "abcd", 4));
  ASSERT_TRUE(key_->SetAttributes(0x10));
  EXPECT_FALSE(key_->SetValue(CfTypeBinary, "wxyz", 4));
  EXPECT_FALSE(key_->SetValue(CfTypeBinary, "longer value", 12));
  EXPECT_EQ(Bytes(key_.get()), "abcd");
  ASSERT_TRUE(key_->SetAttributes(0));
  EXPECT_TRUE(key_->SetValue(CfTypeBinary, "wxyz", 4));

  auto child = KeyRef::Adopt(key_->CreateChild(u"child", CfTypeNone, nullptr, 0));
  ASSERT_TRUE(child);
  ASSERT_TRUE(key_->Delete());
  EXPECT_FALSE(key_->SetValue(CfTypeBinary, "abcd", 4));
  EXPECT_FALSE(child->SetValue(CfTypeBinary, "abcd", 4));  // its parent key is detached
  EXPECT_EQ(key_->GetValueLength(), 0);
  EXPECT_EQ(key_->GetType(), 0);
  EXPECT_EQ(key_->GetAttributes(), 0);
}

TEST_F(KeyValuesTest, AttributeNibbleFollowsTheRecord) {
  ASSERT_TRUE(key_->SetValue(CfTypeBinary, "12345678", 8));
  ASSERT_TRUE(key_->SetAttributes(0xE5));  // only bits 4-7 are taken
  EXPECT_EQ(key_->GetAttributes(), 0xE0);
  EXPECT_EQ(key_->GetType(), CfTypeBinary);
  // In place: the nibble stays, whatever the type argument carries.
  ASSERT_TRUE(key_->SetValue(CfTypeString | 0x40, "ab", 3));
  EXPECT_EQ(key_->GetAttributes(), 0xE0);
  EXPECT_EQ(key_->GetType(), CfTypeString);
  // A new record takes its nibble from the type argument alone.
  const std::string longer(100, 'z');
  ASSERT_TRUE(key_->SetValue(CfTypeBinary | 0x40, longer.data(), 100));
  EXPECT_EQ(key_->GetAttributes(), 0x40);
  EXPECT_EQ(key_->GetType(), CfTypeBinary);
  EXPECT_EQ(Bytes(key_.get()), longer);
  const std::string longest(200, 'y');
  ASSERT_TRUE(key_->SetValue(CfTypeBinary, longest.data(), 200));
  EXPECT_EQ(key_->GetAttributes(), 0);
  ExpectSound(file_);
}

TEST_F(KeyValuesTest, SetAttributesAnswersTrueAlways) {
  EXPECT_TRUE(root_->SetAttributes(0x30));
  EXPECT_EQ(root_->GetAttributes(), 0x30);
  EXPECT_TRUE(root_->SetAttributes(0));
  ASSERT_TRUE(key_->Delete());
  EXPECT_TRUE(key_->SetAttributes(0x10));
  EXPECT_EQ(key_->GetAttributes(), 0);
}

TEST_F(KeyValuesTest, BranchKeepsItsChildrenWhenItsValueGrows) {
  std::vector<ICfKey*> children;
  for (const char16_t* name : {u"c1", u"c2", u"c3"}) {
    children.push_back(key_->CreateChild(name, CfTypeBinary, "abcd", 4));
  }
  const std::string before = ChildNames(key_.get());
  const std::string grown(5000, 'g');
  ASSERT_TRUE(key_->SetValue(CfTypeBinary, grown.data(), 5000));
  EXPECT_EQ(ChildNames(key_.get()), before);
  for (ICfKey* child : children) {
    auto parent = KeyRef::Adopt(child->GetParent());
    EXPECT_EQ(parent.get(), key_.get());
    EXPECT_EQ(child->GetInt(0), 0x64636261);
    CfChar name[8];
    ASSERT_EQ(child->GetName(name, 8), 2);
    auto found = KeyRef::Adopt(key_->FindChild(name, -1, nullptr, false));
    EXPECT_EQ(found.get(), child);
    EXPECT_EQ(key_->GetChildById(child->GetId(nullptr), 0), child);
    child->Release();  // the lookup's reference
  }
  ExpectSound(file_);
  for (ICfKey* c : children) c->Release();
}

TEST_F(KeyValuesTest, EmptiedBranchBecomesALeafWhenRebuilt) {
  auto child = KeyRef::Adopt(key_->CreateChild(u"c", CfTypeNone, nullptr, 0));
  ASSERT_TRUE(child->Delete());
  child.reset();
  const std::string grown(64, 'g');
  ASSERT_TRUE(key_->SetValue(CfTypeBinary, grown.data(), 64));
  EXPECT_EQ(key_->GetFirstChild(), nullptr);
  auto again =
      KeyRef::Adopt(key_->CreateChild(u"d", CfTypeNone, nullptr, 0));  // a leaf takes children
  EXPECT_TRUE(again);
  EXPECT_EQ(Bytes(key_.get()), grown);
}

// --- Reading values ----------------------------------------------------------

TEST_F(KeyValuesTest, GetValueNeedsRoomForTheWholeValue) {
  ASSERT_TRUE(key_->SetValue(CfTypeBinary, "abcdef", 6));
  char buffer[8];
  std::memset(buffer, '#', sizeof(buffer));
  EXPECT_EQ(key_->GetValue(buffer, 5), -1);
  EXPECT_EQ(buffer[0], '#');
  EXPECT_EQ(key_->GetValue(buffer, 6), 6);
  EXPECT_EQ(std::string(buffer, 7), "abcdef#");  // no terminator added
  EXPECT_EQ(key_->GetValue(nullptr, 100), -1);
  EXPECT_EQ(key_->GetValue(buffer, -1), -1);

  ASSERT_TRUE(key_->SetValue(CfTypeNone, nullptr, 0));
  EXPECT_EQ(key_->GetValue(buffer, 0), 0);
  EXPECT_EQ(key_->GetValue(buffer, -1), -1);
}

TEST_F(KeyValuesTest, NumbersAreReadFromAnyFourByteValue) {
  const int32_t n = -123456;
  ASSERT_TRUE(key_->SetValue(CfTypeBinary, &n, 4));
  EXPECT_EQ(key_->GetInt(7), n);
  EXPECT_EQ(key_->GetDword(7), static_cast<uint32_t>(n));
  const float f = 2.5f;
  ASSERT_TRUE(key_->SetValue(CfTypeBinary, &f, 4));
  EXPECT_EQ(key_->GetFloat(-1.0f), 2.5f);

  // A one-character wide string with its NUL is four bytes too.
  ASSERT_TRUE(key_->SetValue(CfTypeWString, u"A", -1));
  EXPECT_EQ(key_->GetInt(7), 0x41);
  ASSERT_TRUE(key_->SetValue(CfTypeString, "abc", -1));
  EXPECT_EQ(key_->GetInt(7), 0x00636261);

  for (int32_t length : {0, 3, 5, 8}) {
    const char data[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    ASSERT_TRUE(key_->SetValue(CfTypeBinary, data, length));
    EXPECT_EQ(key_->GetInt(7), 7) << length;
    EXPECT_EQ(key_->GetDword(9u), 9u) << length;
    EXPECT_EQ(key_->GetFloat(0.5f), 0.5f) << length;
  }
}

TEST_F(KeyValuesTest, DetachedKeyReadsAsEmpty) {
  const int32_t n = 5;
  ASSERT_TRUE(key_->SetValue(CfTypeBinary, &n, 4));
  ASSERT_TRUE(key_->Delete());
  char buffer[8];
  EXPECT_EQ(key_->GetValue(buffer, 8), -1);
  EXPECT_EQ(key_->GetValueLength(), 0);
  EXPECT_EQ(key_->GetInt(-3), -3);
  EXPECT_EQ(key_->GetFloat(1.5f), 1.5f);
  EXPECT_EQ(key_->GetDword(3u), 3u);
}

// --- Child shortcuts ---------------------------------------------------------

TEST_F(KeyValuesTest, ChildShortcutsReadByIdAndByPath) {
  const int32_t n = 42;
  const float f = -0.75f;
  KeyRef::Adopt(key_->CreateChildWithId(7, false, CfTypeBinary, &n, 4));
  KeyRef::Adopt(key_->CreateChildWithId(7, false, CfTypeBinary, &f, 4));  // second with id 7
  KeyRef::Adopt(key_->CreateChildWithId(8, false, CfTypeBinary, &f, 4));
  auto deep = KeyRef::Adopt(key_->OpenKey(u"a\\b", true));
  ASSERT_TRUE(deep->SetValue(CfTypeBinary, &n, 4));
  deep.reset();

  EXPECT_EQ(key_->GetChildIntById(7, -1), 42);
  EXPECT_EQ(key_->GetChildDwordById(7, 0u), 42u);
  EXPECT_EQ(key_->GetChildFloatById(8, 0.0f), -0.75f);
  EXPECT_EQ(key_->GetChildIntById(9, -1), -1);
  EXPECT_EQ(key_->GetChildFloatById(9, 3.0f), 3.0f);
  EXPECT_EQ(key_->GetChildDwordById(9, 5u), 5u);

  EXPECT_EQ(key_->GetChildInt(u"a/b", -1), 42);
  EXPECT_EQ(key_->GetChildDword(u"A\\B", 0u), 42u);
  float as_float;
  std::memcpy(&as_float, &n, 4);
  EXPECT_EQ(key_->GetChildFloat(u"a\\b", 9.0f), as_float);
  char buffer[4];
  EXPECT_EQ(key_->GetChildValue(u"a\\b", buffer, 4), 4);
  EXPECT_EQ(std::memcmp(buffer, &n, 4), 0);
  EXPECT_EQ(key_->GetChildValue(u"a\\b", buffer, 3), -1);
  EXPECT_EQ(key_->GetChildValue(u"a\\missing", buffer, 4), -1);
  EXPECT_EQ(key_->GetChildValue(nullptr, buffer, 4), -1);
  EXPECT_EQ(key_->GetChildInt(nullptr, -9), -9);
}

TEST_F(KeyValuesTest, PathShortcutsCreateNothing) {
  EXPECT_EQ(key_->GetChildInt(u"x\\y", -1), -1);
  EXPECT_EQ(key_->GetChildFloat(u"x", 1.0f), 1.0f);
  EXPECT_EQ(key_->GetChildDword(u"x/y/z", 2u), 2u);
  char buffer[4];
  EXPECT_EQ(key_->GetChildValue(u"x", buffer, 4), -1);
  EXPECT_EQ(key_->GetFirstChild(), nullptr);
}

TEST_F(KeyValuesTest, EmptyPathReadsTheKeyItself) {
  const int32_t n = 77;
  ASSERT_TRUE(key_->SetValue(CfTypeBinary, &n, 4));
  EXPECT_EQ(key_->GetChildInt(u"", -1), 77);
  char buffer[4];
  EXPECT_EQ(key_->GetChildValue(u"", buffer, 4), 4);
  EXPECT_EQ(CountOf(key_.get()), 1);
}

}  // namespace
}  // namespace orvo::testing
