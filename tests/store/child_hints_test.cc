// Position hints may be stale after any change to a table; lookups must still
// give the answer a plain search gives. A random walk over insertions (named,
// and unnamed under the ids of names), removals, renames and replaced
// records, with names whose hashes collide, checks every lookup made with
// hints against the definition (the first entry with the name's id, then the
// first matching name after it), found by a linear scan; and the same walk
// through a key that keeps its hints, against a model of the names present.
#include "store/child_hints.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "store/child_table.h"
#include "store/name.h"
#include "tests/store/key_test_util.h"

using orvo::store::CfChildren;
using orvo::store::CfName;
using orvo::store::CfNameHash;
using orvo::store::CreateConfigFile;
using orvo::store::CreateNode;
using orvo::store::FindChildByName;
using orvo::store::FreeNodeTree;
using orvo::store::InsertChild;
using orvo::store::RemoveChildAt;

namespace orvo::testing {
namespace {

std::u16string U16(const std::string& s) { return std::u16string(s.begin(), s.end()); }

uint32_t Hash(const std::string& s) { return CfNameHash(U16(s).c_str(), -1, nullptr); }

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

// Names of two to four units, up to four of each hash: nearly every name
// shares its hash with others (a run of equal ids in the table).
std::vector<std::string> NamePool() {
  std::map<uint32_t, std::vector<std::string>> by_hash;
  const std::string letters = "abcdefghijklmnopqrstuvwxyz";
  for (char a : letters) {
    for (char b : letters) {
      by_hash[Hash(std::string{a, b})].push_back(std::string{a, b});
      for (char c : std::string("aeiou")) {
        by_hash[Hash(std::string{a, b, c})].push_back(std::string{a, b, c});
        for (char d : std::string("0123")) {
          by_hash[Hash(std::string{a, b, c, d})].push_back(std::string{a, b, c, d});
        }
      }
    }
  }
  std::vector<std::string> pool;
  for (const auto& [hash, names] : by_hash) {
    for (size_t i = 0; i < names.size() && i < 4; ++i) pool.push_back(names[i]);
  }
  return pool;  // about 1900 names under about 500 hashes
}

// The definition of a name lookup, by a linear scan.
int32_t ScanForName(const CfNode* node, const std::string& name) {
  const uint32_t id = Hash(name);
  const CfChildTable* t = CfChildren(node);
  int32_t i = 0;
  while (i < t->count && t->entries[i].id != id) ++i;
  for (; i < t->count && t->entries[i].id == id; ++i) {
    const CfNode* child = t->entries[i].child;
    if (Lower(std::string(CfName(child), CfName(child) + child->name_length)) == Lower(name)) {
      return i;
    }
  }
  return -1;
}

TEST(ChildHintsModel, LookupsWithHintsAgreeWithTheDefinitionThroughEveryChange) {
  const std::vector<std::string> pool = NamePool();
  ASSERT_GT(pool.size(), 1500u);
  CfNode* parent = CreateNode(u"Big", -1, 0, nullptr, 0, 1);
  ASSERT_NE(parent, nullptr);
  CfChildTable* table = CfChildren(parent);
  CfChildHints hints;
  std::mt19937 rng(20261208);
  auto pick = [&](size_t n) { return static_cast<size_t>(rng() % n); };
  // Target sizes: around 600, then over 2400 (the hints are resized), then
  // under 256 (dropped), then around 600 again.
  const int32_t targets[] = {600, 2600, 150, 600};
  int64_t confirmed = 0;
  for (int32_t target : targets) {
    for (int step = 0; step < 30000; ++step) {
      if (pick(2) == 0) {  // lookup, in any letter case
        std::string name = pool[pick(pool.size())];
        if (pick(3) == 0) name[0] = static_cast<char>(std::toupper(name[0]));
        const std::u16string u = U16(name);
        int covered = 0;
        const int32_t expected = ScanForName(parent, name);
        const int32_t with_hints = hints.Recall(table, Hash(name));
        if (with_hints >= 0) ++confirmed;
        ASSERT_EQ(FindChildByName(parent, u.c_str(), -1, &covered, &hints), expected) << name;
        ASSERT_EQ(covered, static_cast<int>(name.size()));
        ASSERT_EQ(FindChildByName(parent, u.c_str(), -1, nullptr, nullptr), expected) << name;
        continue;
      }
      // Towards the target size: mostly insertions below it, removals above.
      const size_t kind = pick(10);
      if (kind < (table->count < target ? 6u : 3u)) {  // insert, named or unnamed
        const std::string name = pool[pick(pool.size())];
        const bool named = pick(4) != 0;
        if (named && ScanForName(parent, name) >= 0) continue;
        CfNode* child = CreateNode(named ? U16(name).c_str() : nullptr, -1, 0, nullptr, 0, 0);
        ASSERT_NE(child, nullptr);
        ASSERT_GE(InsertChild(table, {Hash(name), child}, pick(2) == 0), 0);
      } else if (kind < 8 && table->count > 0) {  // remove; often the first, moving all
        const int32_t i =
            pick(4) == 0 ? 0 : static_cast<int32_t>(pick(static_cast<size_t>(table->count)));
        CfNode* child = table->entries[i].child;
        ASSERT_TRUE(RemoveChildAt(table, i));
        FreeNodeTree(child, nullptr);
      } else if (table->count > 0) {  // replace a record, or rename it
        const int32_t i = static_cast<int32_t>(pick(static_cast<size_t>(table->count)));
        CfNode* old = table->entries[i].child;
        if (pick(2) == 0) {
          CfNode* copy = CreateNode(CfName(old), old->name_length, 0, "value", 5, 0);
          ASSERT_NE(copy, nullptr);
          table->entries[i].child = copy;
          FreeNodeTree(old, nullptr);
        } else {
          const std::string name = pool[pick(pool.size())];
          if (ScanForName(parent, name) >= 0) continue;
          ASSERT_TRUE(RemoveChildAt(table, i));
          FreeNodeTree(old, nullptr);
          CfNode* renamed = CreateNode(U16(name).c_str(), -1, 0, nullptr, 0, 0);
          ASSERT_NE(renamed, nullptr);
          ASSERT_GE(InsertChild(table, {Hash(name), renamed}, false), 0);
        }
      }
    }
    if (target >= CfChildHints::kMinEntries) {
      EXPECT_GE(hints.slots(), 2u * static_cast<uint32_t>(table->count / 4)) << target;
    } else {
      EXPECT_EQ(hints.slots(), 0u) << target;
    }
  }
  // The walk must have used the hints, not only searched.
  EXPECT_GT(confirmed, 1000);
  FreeNodeTree(parent, nullptr);
}

// The same kind of walk through the key interface: a long-lived key keeps
// its hints while other keys add, delete, rename and rewrite its children.
TEST(ChildHintsModel, AWarmKeyFindsExactlyTheChildrenPresent) {
  CConfigFile* file = CreateConfigFile(nullptr, kOpenAlways);
  ASSERT_NE(file, nullptr);
  {
    auto root = KeyRef::Adopt(file->GetRootKey());
    auto big = KeyRef::Adopt(root->CreateChild(u"Big", CfTypeNone, nullptr, 0));
    ASSERT_TRUE(big);
    const std::vector<std::string> pool = NamePool();
    std::set<std::string> present;  // lower case
    std::mt19937 rng(7);
    auto pick = [&](size_t n) { return static_cast<size_t>(rng() % n); };
    for (int step = 0; step < 20000; ++step) {
      std::string name = pool[pick(pool.size())];
      const bool there = present.count(Lower(name)) != 0;
      const size_t op = present.size() < 400 ? 9 : pick(10);
      if (op < 5) {
        if (pick(2) == 0) name[1] = static_cast<char>(std::toupper(name[1]));
        auto k = KeyRef::Adopt(big->FindChild(U16(name).c_str(), -1, nullptr, false));
        ASSERT_EQ(static_cast<bool>(k), there) << name;
        if (k) {
          ASSERT_EQ(Lower(NameOf(k.get())), Lower(name));
        }
      } else if (op == 5 && there) {
        auto k = KeyRef::Adopt(big->FindChild(U16(name).c_str(), -1, nullptr, false));
        ASSERT_TRUE(k && k->Delete());
        present.erase(Lower(name));
      } else if (op == 6 && there) {
        const std::string to = pool[pick(pool.size())];
        if (Lower(to) == Lower(name)) continue;
        auto k = KeyRef::Adopt(big->FindChild(U16(name).c_str(), -1, nullptr, false));
        ASSERT_TRUE(k);
        const bool taken = present.count(Lower(to)) != 0;
        ASSERT_EQ(k->Rename(U16(to).c_str(), true), !taken);
        if (!taken) {
          present.erase(Lower(name));
          present.insert(Lower(to));
        }
      } else if (op == 7 && there) {  // a longer value replaces the record
        auto k = KeyRef::Adopt(big->FindChild(U16(name).c_str(), -1, nullptr, false));
        ASSERT_TRUE(k && k->SetValue(CfTypeString, "a value that does not fit in place", -1));
      } else if (op == 8) {  // an unnamed child in the run of this name's id
        auto k =
            KeyRef::Adopt(big->CreateChildWithId(Hash(name), pick(2) == 0, CfTypeNone, nullptr, 0));
        ASSERT_TRUE(k);
      } else {
        auto k = KeyRef::Adopt(big->CreateChild(U16(name).c_str(), CfTypeNone, nullptr, 0));
        ASSERT_EQ(static_cast<bool>(k), !there) << name;
        present.insert(Lower(name));
      }
      if (step % 2000 == 0) ExpectSound(file);
    }
  }
  ExpectSettled(file);
  file->Release();
}

}  // namespace
}  // namespace orvo::testing
