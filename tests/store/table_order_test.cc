// Child tables as other programs write them: out of order, with one id in
// several places, with one name twice. Every file of a generated table is
// loaded and looked up by name and by id, through one key object many times
// in a row, edited through keys, saved and loaded back; every answer must be
// the one that table order defines (child_table.h), found here by a scan of
// the file's own list of children.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <random>
#include <string>
#include <vector>

#include "platform/memory_file_system.h"
#include "store/config_file.h"
#include "store/key.h"
#include "store/name.h"
#include "store/ref.h"
#include "tests/store/key_test_util.h"
#include "tests/store/record_bytes.h"
#include "tests/testing/scoped_file_system.h"
#include "tests/testing/tree_util.h"
#if defined(ORVO_FAILING_ALLOCATOR)
#include "tests/testing/failing_allocator.h"
#endif

using orvo::store::CfChildren;
using orvo::store::CfNameHash;
using orvo::store::CreateConfigFile;
using orvo::store::CreateNode;
using orvo::store::FindChildById;
using orvo::store::FindChildByName;
using orvo::store::FreeNodeTree;
using orvo::store::InsertChild;
using orvo::store::OccurrenceAt;
using orvo::store::ParseNode;

namespace orvo::testing {
namespace {

const std::u16string kPath = u"C:\\ProgramData\\Tamsiver\\InstallApp.set";
const std::u16string kSaved = u"C:\\ProgramData\\Tamsiver\\Saved.set";

uint32_t Hash(const std::u16string& name) { return CfNameHash(name.c_str(), -1, nullptr); }

struct Child {
  uint32_t id;
  std::u16string name;
};

// The root's children in table order, and what every lookup must answer.
class Model {
 public:
  // |sorted| is how the reader marks the table: as the file lists it.
  explicit Model(std::vector<Child> children) : children_(std::move(children)) {
    sorted_ = Sorted();
  }

  const std::vector<Child>& children() const { return children_; }
  int32_t size() const { return static_cast<int32_t>(children_.size()); }

  bool Sorted() const {
    for (size_t i = 1; i < children_.size(); ++i) {
      if (children_[i - 1].id > children_[i].id) return false;
    }
    return true;
  }
  int32_t ByName(const std::u16string& name) const {
    const uint32_t h = Hash(name);
    for (int32_t i = 0; i < size(); ++i) {
      if (children_[i].id == h && Fold(children_[i].name) == Fold(name)) return i;
    }
    return -1;
  }
  int32_t ById(uint32_t id, int32_t occurrence) const {
    int32_t last = -1;
    for (int32_t i = 0; i < size(); ++i) {
      if (children_[i].id != id) continue;
      if (occurrence == 0) return i;
      if (occurrence > 0) --occurrence;
      last = i;
    }
    return occurrence < 0 ? last : -1;
  }
  int32_t Count(uint32_t id) const {
    return static_cast<int32_t>(std::count_if(children_.begin(), children_.end(),
                                              [id](const Child& c) { return c.id == id; }));
  }
  int32_t OccurrenceAt(int32_t index) const {
    int32_t n = 0;
    for (int32_t i = 0; i < index; ++i) n += children_[i].id == children_[index].id ? 1 : 0;
    return n;
  }
  // Where an insertion goes: the sorted place in a table read sorted; else after
  // the last entry with the id (in front of the first, |before|), or at the
  // end for a new id.
  int32_t Insert(Child c, bool before) {
    int32_t pos = size();
    if (sorted_) {
      pos = 0;
      while (pos < size() && (children_[pos].id < c.id || (!before && children_[pos].id == c.id))) {
        ++pos;
      }
    } else if (Count(c.id) > 0) {
      pos = before ? ById(c.id, 0) : ById(c.id, -1) + 1;
    }
    children_.insert(children_.begin() + pos, std::move(c));
    return pos;
  }
  void Remove(int32_t index) { children_.erase(children_.begin() + index); }

  static std::u16string Fold(std::u16string s) {
    for (char16_t& c : s) {
      if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c - u'A' + u'a');
    }
    return s;
  }

 private:
  std::vector<Child> children_;
  bool sorted_ = true;  // stays false once false: a table is never sorted again
};

// A file whose root holds |children| in the given order, each a leaf whose
// value is the decimal text of its position in the file.
std::string FileOf(const std::vector<Child>& children) {
  std::vector<uint32_t> ids;
  for (const Child& c : children) ids.push_back(c.id);
  std::string body = Record(u"Root", kBranchFlag, "", static_cast<int32_t>(children.size()), ids);
  for (size_t i = 0; i < children.size(); ++i) body += Leaf(children[i].name, std::to_string(i));
  return File(body);
}

std::u16string U16(const std::string& s) { return std::u16string(s.begin(), s.end()); }

struct Case {
  std::string what;
  std::vector<Child> children;
};

Child Named(const std::u16string& name) { return {Hash(name), name}; }

std::vector<Case> Cases() {
  std::vector<Case> cases;
  cases.push_back({"two children out of order", {Named(u"b"), Named(u"a")}});
  {
    // "x" at 0 and 239 of 300: a table large enough for position hints.
    std::vector<Child> c;
    for (int i = 0; i < 300; ++i) c.push_back(Named(U16("k" + std::to_string(i * 7919 % 1000))));
    c[0] = Named(u"x");
    c[239] = Named(u"x");
    cases.push_back({"one name at 0 and 239 of 300", c});
  }
  cases.push_back({"a name among unnamed children of one id",
                   {{1, u""}, {1, u""}, {1, u""}, Named(u"x"), {1, u""}}});
  {
    std::vector<Child> c;
    for (uint32_t id = 20; id >= 1; --id) c.push_back({id, u""});
    c.push_back(Named(u"x"));
    c.push_back(Named(u"App"));
    cases.push_back({"descending ids", c});
  }
  cases.push_back({"one id in places apart",
                   {{5, u""}, {9, u""}, {5, u""}, {9, u""}, {5, u""}, Named(u"y"), {5, u""}}});
  cases.push_back(
      {"a name under the id of another", {Named(u"x"), {Hash(u"x"), u"q"}, Named(u"q")}});
  cases.push_back(
      {"sorted, with repeated ids", {{1, u""}, {1, u""}, Named(u"x"), {Hash(u"x"), u""}}});
  {
    std::vector<Child> c;
    for (int i = 0; i < 300; ++i) c.push_back(Named(U16("n" + std::to_string(i))));
    std::stable_sort(c.begin(), c.end(),
                     [](const Child& a, const Child& b) { return a.id < b.id; });
    c.push_back({1, u""});      // one entry below all the others, at the end
    c.push_back(Named(u"n7"));  // and a name repeated after it
    cases.push_back({"a sorted run of 300, then smaller ids", c});
  }
  // Random tables: names from a small pool, so that names and ids repeat;
  // ids of names, of other names, or small numbers; any order.
  const std::vector<std::u16string> pool = {u"x", u"X", u"y", u"ab", u"BA", u"app", u"", u"z1"};
  for (uint32_t seed = 1; seed <= 40; ++seed) {
    std::mt19937 rng(seed);
    const int n =
        seed % 3 == 0 ? 250 + static_cast<int>(rng() % 150) : 1 + static_cast<int>(rng() % 40);
    std::vector<Child> c;
    for (int i = 0; i < n; ++i) {
      const uint32_t kind = rng() % 10;
      std::u16string name =
          kind < 7 ? pool[rng() % pool.size()] : U16("u" + std::to_string(rng() % 500));
      uint32_t id = Hash(name);
      if (kind == 7) id = Hash(pool[rng() % pool.size()]);
      if (kind >= 8) id = 1 + rng() % 4;
      c.push_back({id, name});
    }
    if (seed % 5 == 0) {
      std::stable_sort(c.begin(), c.end(),
                       [](const Child& a, const Child& b) { return a.id < b.id; });
    }
    cases.push_back({"random " + std::to_string(seed), c});
  }
  return cases;
}

class TableOrderTest : public ::testing::Test {
 protected:
  CConfigFile* Open(const std::u16string& path) {
    return CreateConfigFile(path.c_str(), kOpenExisting);
  }

  orvo::platform::MemoryFileSystem fs_;
  orvo::testing::ScopedFileSystem swap_{&fs_};
};

// Names worth looking up in |model|: every name it holds, in two letter
// cases, and some it does not hold.
std::vector<std::u16string> NamesToTry(const Model& model) {
  std::vector<std::u16string> names = {u"absent", u"xx", u"q"};
  for (const Child& c : model.children()) {
    if (c.name.empty()) continue;
    names.push_back(c.name);
    std::u16string upper = c.name;
    for (char16_t& u : upper) u = static_cast<char16_t>(std::toupper(u));
    names.push_back(upper);
  }
  std::sort(names.begin(), names.end());
  names.erase(std::unique(names.begin(), names.end()), names.end());
  return names;
}

// Every lookup on the root of |file| against |model|.
void ExpectLookups(CConfigFile* file, const Model& model) {
  auto root = KeyRef::Adopt(file->GetRootKey());
  ASSERT_TRUE(root);
  // By name, 40 times in a row on one key object: one answer every time.
  for (const std::u16string& name : NamesToTry(model)) {
    const int32_t expected = model.ByName(name);
    for (int i = 0; i < 40; ++i) {
      int32_t consumed = -1;
      auto k = KeyRef::Adopt(root->FindChild(name.c_str(), -1, &consumed, false));
      ASSERT_EQ(k ? k->GetIndex() : -1, expected)
          << "name " << std::string(name.begin(), name.end()) << ", lookup " << i + 1;
      ASSERT_EQ(consumed, static_cast<int32_t>(name.size()));
    }
  }
  // By id, every occurrence, the last, and past the last.
  std::vector<uint32_t> ids = {0x12345678u};
  for (const Child& c : model.children()) ids.push_back(c.id);
  std::sort(ids.begin(), ids.end());
  ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
  for (uint32_t id : ids) {
    const int32_t count = model.Count(id);
    for (int32_t occurrence : {0, 1, 2, count - 1, count, -1, 1000}) {
      if (occurrence < -1) continue;
      auto k = KeyRef::Adopt(root->GetChildById(id, occurrence));
      ASSERT_EQ(k ? k->GetIndex() : -1, model.ById(id, occurrence))
          << "id " << id << " occurrence " << occurrence;
    }
  }
  // Each child: its id and occurrence find it again, and its name finds the
  // first child of that name, whose id and occurrence find that one.
  int32_t index = 0;
  for (auto k = KeyRef::Adopt(root->GetFirstChild()); k; k.attach(k->GetNextSibling()), ++index) {
    ASSERT_LT(index, model.size());
    ASSERT_EQ(k->GetIndex(), index);
    int32_t occurrence = -1;
    ASSERT_EQ(k->GetId(&occurrence), model.children()[index].id) << index;
    ASSERT_EQ(occurrence, model.OccurrenceAt(index)) << index;
    auto again = KeyRef::Adopt(root->GetChildById(model.children()[index].id, occurrence));
    ASSERT_EQ(again.get(), k.get()) << index;
    const std::u16string& name = model.children()[index].name;
    if (name.empty()) continue;
    // (A child filed under another id than its name's is not found by name.)
    auto by_name = KeyRef::Adopt(root->FindChild(name.c_str(), -1, nullptr, false));
    ASSERT_EQ(by_name ? by_name->GetIndex() : -1, model.ByName(name));
    if (!by_name) continue;
    int32_t o = -1;
    const uint32_t id = by_name->GetId(&o);
    auto by_id = KeyRef::Adopt(root->GetChildById(id, o));
    ASSERT_EQ(by_id.get(), by_name.get()) << index;
  }
  ASSERT_EQ(index, model.size());
  ExpectSound(file);
}

// The root's children (id and name) as the file object holds them.
std::vector<std::pair<uint32_t, std::u16string>> Listing(CConfigFile* file) {
  std::vector<std::pair<uint32_t, std::u16string>> out;
  auto root = KeyRef::Adopt(file->GetRootKey());
  for (auto k = KeyRef::Adopt(root->GetFirstChild()); k; k.attach(k->GetNextSibling())) {
    CfChar buf[256];
    const int32_t n = k->GetName(buf, 256);
    out.emplace_back(k->GetId(nullptr), std::u16string(buf, buf + (n > 0 ? n : 0)));
  }
  return out;
}

std::vector<std::pair<uint32_t, std::u16string>> Listing(const Model& model) {
  std::vector<std::pair<uint32_t, std::u16string>> out;
  for (const Child& c : model.children()) out.emplace_back(c.id, c.name);
  return out;
}

TEST_F(TableOrderTest, EveryLookupGivesTheAnswerTableOrderDefines) {
  for (const Case& c : Cases()) {
    SCOPED_TRACE(c.what);
    fs_.SetFile(kPath, FileOf(c.children));
    auto file = CfRef<CConfigFile>::Adopt(Open(kPath));
    ASSERT_TRUE(file);
    Model model(c.children);
    ASSERT_EQ(Listing(file.get()), Listing(model));
    ExpectLookups(file.get(), model);
  }
}

TEST_F(TableOrderTest, EditsThroughKeysKeepOneAnswerAndSurviveASave) {
  for (const Case& c : Cases()) {
    SCOPED_TRACE(c.what);
    fs_.SetFile(kPath, FileOf(c.children));
    auto file = CfRef<CConfigFile>::Adopt(Open(kPath));
    ASSERT_TRUE(file);
    Model model(c.children);
    {
      auto root = KeyRef::Adopt(file->GetRootKey());
      // A name that is there (in another case) is refused; a new one is
      // added where the table's rule puts it.
      for (const Child& child : c.children) {
        if (child.name.empty() || model.ByName(child.name) < 0) continue;
        std::u16string other = child.name;
        for (char16_t& u : other)
          u = static_cast<char16_t>(std::isupper(u) ? std::tolower(u) : std::toupper(u));
        ASSERT_FALSE(KeyRef::Adopt(root->CreateChild(other.c_str(), CfTypeNone, nullptr, 0)));
        break;
      }
      for (const std::u16string name : {u"new", u"x", u"z1", u"zz"}) {
        if (model.ByName(name) >= 0) continue;
        auto made = KeyRef::Adopt(root->CreateChild(name.c_str(), CfTypeNone, nullptr, 0));
        ASSERT_TRUE(made);
        ASSERT_EQ(made->GetIndex(), model.Insert(Named(name), false));
      }
      // Unnamed children under ids the table holds, asked to go first and
      // last.
      for (uint32_t id : {1u, 5u, Hash(u"x")}) {
        for (bool before : {true, false}) {
          auto made = KeyRef::Adopt(root->CreateChildWithId(id, before, CfTypeNone, nullptr, 0));
          ASSERT_TRUE(made);
          ASSERT_EQ(made->GetIndex(), model.Insert({id, u""}, before));
          int32_t occurrence = -1;
          made->GetId(&occurrence);
          ASSERT_EQ(occurrence, before ? 0 : model.Count(id) - 1);
        }
      }
      // Deleting the first child of a name uncovers the next one.
      for (const std::u16string name : {u"x", u"app", u"n7"}) {
        const int32_t at = model.ByName(name);
        if (at < 0) continue;
        auto k = KeyRef::Adopt(root->FindChild(name.c_str(), -1, nullptr, false));
        ASSERT_TRUE(k && k->Delete());
        model.Remove(at);
        auto next = KeyRef::Adopt(root->FindChild(name.c_str(), -1, nullptr, false));
        ASSERT_EQ(next ? next->GetIndex() : -1, model.ByName(name));
      }
      // A rename takes the new name's place by the same rule.
      const int32_t at = model.ByName(u"y");
      if (at >= 0) {
        auto k = KeyRef::Adopt(root->FindChild(u"y", -1, nullptr, false));
        ASSERT_TRUE(k && k->Rename(u"renamed", true));
        model.Remove(at);
        ASSERT_EQ(k->GetIndex(), model.Insert(Named(u"renamed"), false));
      }
    }
    ASSERT_EQ(Listing(file.get()), Listing(model));
    ExpectLookups(file.get(), model);
    // Saved as held, and read back the same.
    ASSERT_TRUE(file->Save(kSaved.c_str()));
    auto back = CfRef<CConfigFile>::Adopt(Open(kSaved));
    ASSERT_TRUE(back);
    ASSERT_EQ(Listing(back.get()), Listing(model));
    ExpectLookups(back.get(), model);
  }
}

}  // namespace
}  // namespace orvo::testing

namespace orvo::testing {
namespace {

// A record rebuilt for a longer value, or for a new name, takes its children
// over in their order, and its table keeps the rule of a table read out of
// order.
TEST_F(TableOrderTest, ARebuiltRecordKeepsItsTableAsItWas) {
  const std::vector<Child> children = {Named(u"b"), Named(u"a"), {1, u""},   Named(u"x"),
                                       {1, u""},    Named(u"X"), Named(u"c")};
  std::vector<uint32_t> ids;
  for (const Child& c : children) ids.push_back(c.id);
  std::string body = Record(u"Root", kBranchFlag, "", 1, {Hash(u"sub")}) +
                     Record(u"sub", kBranchFlag, "", static_cast<int32_t>(ids.size()), ids);
  for (size_t i = 0; i < children.size(); ++i) body += Leaf(children[i].name, std::to_string(i));
  fs_.SetFile(kPath, File(body));
  auto file = CfRef<CConfigFile>::Adopt(Open(kPath));
  ASSERT_TRUE(file);
  Model model(children);
  {
    auto sub = KeyRef::Adopt(file->OpenKey(u"sub", false));
    ASSERT_TRUE(sub);
    ASSERT_TRUE(sub->SetValue(CfTypeString, "a value longer than the one it had", -1));
    ASSERT_TRUE(sub->Rename(u"moved", true));
    auto made = KeyRef::Adopt(sub->CreateChildWithId(1, false, CfTypeNone, nullptr, 0));
    ASSERT_TRUE(made);
    ASSERT_EQ(made->GetIndex(), model.Insert({1, u""}, false));
    for (const std::u16string name : {u"a", u"b", u"x", u"c", u"absent"}) {
      for (int i = 0; i < 40; ++i) {
        auto k = KeyRef::Adopt(sub->FindChild(name.c_str(), -1, nullptr, false));
        ASSERT_EQ(k ? k->GetIndex() : -1, model.ByName(name));
      }
    }
    for (int32_t i = 0; i < model.size(); ++i) {
      auto k = KeyRef::Adopt(sub->GetChildById(model.children()[i].id, model.OccurrenceAt(i)));
      ASSERT_TRUE(k);
      ASSERT_EQ(k->GetIndex(), i);
    }
  }
  ExpectSound(file.get());
}

}  // namespace
}  // namespace orvo::testing

#if defined(ORVO_FAILING_ALLOCATOR)
namespace orvo::testing {
namespace {

// The answers of the lookups straight on |node|'s table, for each of its
// entries: occurrence, by id and occurrence, the last of the id, past the
// last, by name. Gathered while allocations may fail: nothing here allocates
// but the table's order index.
void Lookups(CfNode* node, const Model& model, std::vector<int32_t>* out) {
  CfChildTable* table = CfChildren(node);
  for (int32_t i = 0; i < model.size(); ++i) {
    const Child& c = model.children()[i];
    (*out)[5 * i] = OccurrenceAt(table, i);
    (*out)[5 * i + 1] = FindChildById(node, c.id, model.OccurrenceAt(i));
    (*out)[5 * i + 2] = FindChildById(node, c.id, -1);
    (*out)[5 * i + 3] = FindChildById(node, c.id, model.Count(c.id));
    (*out)[5 * i + 4] = c.name.empty() ? -1 : FindChildByName(node, c.name.c_str(), -1, nullptr);
  }
}

std::vector<int32_t> Expected(const Model& model) {
  std::vector<int32_t> out;
  for (int32_t i = 0; i < model.size(); ++i) {
    const Child& c = model.children()[i];
    out.insert(out.end(), {model.OccurrenceAt(i), i, model.ById(c.id, -1), -1,
                           c.name.empty() ? -1 : model.ByName(c.name)});
  }
  return out;
}

// Without memory for a table's order index the lookups scan the table, to
// the same answers; an index that cannot follow an insertion is dropped and
// set up again by the next lookup.
TEST(TableOrderMemoryTest, WithoutMemoryForTheIndexLookupsScanToTheSameAnswers) {
  for (const Case& c : Cases()) {
    SCOPED_TRACE(c.what);
    const std::string file = FileOf(c.children);
    for (bool index_first : {false, true}) {
      const uint8_t* cursor = reinterpret_cast<const uint8_t*>(file.data()) + kCfHeaderSize;
      CfTree tree(ParseNode(&cursor, cursor + (file.size() - kCfHeaderSize)));
      ASSERT_NE(tree.get(), nullptr);
      Model model(c.children);
      std::vector<int32_t> got(5 * static_cast<size_t>(model.size()) + 15);
      if (index_first) {  // the index is set up, then cannot follow insertions
        Lookups(tree.get(), model, &got);
        ASSERT_EQ(std::vector<int32_t>(got.begin(), got.begin() + 5 * model.size()),
                  Expected(model));
      }
      for (uint32_t id : {1u, Hash(u"x"), 0xFFFFFFFFu}) {
        CfNode* leaf = CreateNode(nullptr, 0, 0, nullptr, 0, 0);
        ASSERT_NE(leaf, nullptr);
        FailAllocationsFrom(1, true);
        const int32_t at = InsertChild(CfChildren(tree.get()), {id, leaf}, id == 1);
        StopFailingAllocations();
        if (at < 0) {  // the table had to grow
          FreeNodeTree(leaf, nullptr);
          continue;
        }
        ASSERT_EQ(at, model.Insert({id, u""}, id == 1));
      }
      got.resize(5 * static_cast<size_t>(model.size()));
      FailAllocationsFrom(1, true);
      Lookups(tree.get(), model, &got);
      StopFailingAllocations();
      ASSERT_EQ(got, Expected(model)) << "without an index";
      Lookups(tree.get(), model, &got);
      ASSERT_EQ(got, Expected(model)) << "with the index set up again";
    }
  }
}

}  // namespace
}  // namespace orvo::testing
#endif
