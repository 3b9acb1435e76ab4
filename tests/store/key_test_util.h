// Helpers shared by the file-object and key tests.
#ifndef ORVO_TESTS_STORE_KEY_TEST_UTIL_H_
#define ORVO_TESTS_STORE_KEY_TEST_UTIL_H_

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "store/config_file.h"
#include "store/key.h"
#include "store/ref.h"

using orvo::store::CreateConfigFile;

namespace orvo::testing {

constexpr uint32_t kOpenExisting = kCfOpenExisting;
constexpr uint32_t kOpenAlways = kCfOpenAlways;

template <class T>
using Held = CfRef<T>;
using KeyRef = Held<ICfKey>;

// The name of a key as ASCII ('?' for other units); "<detached>" when the key
// answers -1.
inline std::string NameOf(ICfKey* key) {
  CfChar buffer[256] = {};
  const int32_t n = key->GetName(buffer, 256);
  if (n < 0) return "<detached>";
  std::string s;
  for (int32_t i = 0; i < n; ++i) s += buffer[i] < 128 ? static_cast<char>(buffer[i]) : '?';
  return s;
}

// The names of a key's children in table order.
inline std::string ChildNames(ICfKey* key) {
  std::string s;
  bool first = true;
  for (ICfKey* c = key->GetFirstChild(); c != nullptr; c = c->MoveToNextSibling()) {
    if (!first) s += ',';
    first = false;
    s += NameOf(c);
  }
  return s;
}

// The names of a key's children, sorted, comma-separated.
inline std::string SortedChildNames(ICfKey* key) {
  std::vector<std::string> names;
  for (ICfKey* c = key->GetFirstChild(); c != nullptr; c = c->MoveToNextSibling()) {
    names.push_back(NameOf(c));
  }
  std::sort(names.begin(), names.end());
  std::string s;
  for (size_t i = 0; i < names.size(); ++i) s += (i == 0 ? "" : ",") + names[i];
  return s;
}

// The count of a key, read through AddRef/Release.
inline int32_t CountOf(ICfKey* key) {
  key->AddRef();
  return key->Release();
}

// The state every scenario must end in: only the root key registered, held
// by the file object alone; the pool within its limit; the bookkeeping sound.
inline void ExpectSettled(CConfigFile* file) {
  std::string message;
  EXPECT_TRUE(file->CheckInvariants(&message)) << message;
  EXPECT_EQ(file->LiveKeyCount(), 1);
  EXPECT_LE(file->PoolSize(), kCfIdlePoolLimit);
  ICfKey* root = file->GetRootKey();
  ASSERT_NE(root, nullptr);
  EXPECT_EQ(root->Release(), 1);
}

inline void ExpectSound(CConfigFile* file) {
  std::string message;
  EXPECT_TRUE(file->CheckInvariants(&message)) << message;
}

// A fixture with a file object made without a path (a new tree).
class KeyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    file_ = CreateConfigFile(nullptr, kOpenAlways);
    ASSERT_NE(file_, nullptr);
    root_.attach(file_->GetRootKey());
    ASSERT_TRUE(root_);
  }
  void TearDown() override {
    root_.reset();
    if (file_ != nullptr) {
      ExpectSettled(file_);
      file_->Release();
    }
  }

  // Makes the named children of |parent|, releasing their keys.
  void MakeChildren(ICfKey* parent, std::initializer_list<const char16_t*> names) {
    for (const char16_t* name : names) {
      auto child = KeyRef::Adopt(parent->CreateChild(name, CfTypeNone, nullptr, 0));
      ASSERT_TRUE(child) << "cannot create a child";
    }
  }

  CConfigFile* file_ = nullptr;
  KeyRef root_;
};

}  // namespace orvo::testing

#endif  // ORVO_TESTS_STORE_KEY_TEST_UTIL_H_
