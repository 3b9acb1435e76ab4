// Key operations in nanoseconds, each against the nearest standard-library
// operation as a floor (std::map lookups of the same names, a heap block
// obtained and freed, a string assigned).
//
// Tree (file object without a path, built through the key interface):
//   Root\Names       10 000 named children            FindChild hit and miss
//   Root\Records     10 000 unnamed children, id 1    GetChildById walk
//   Root\L1_<i>\L2_<j>\L3_<k>, 20 of each              three-level OpenKey
//   Root\Value\Version                                 SetValue
//   Root\Pool\Item                                     obtain/release
// and, read from file bytes, a root of the same 10 000 names in a shuffled
// order (a table out of order, searched through its order index) against the
// same names read sorted: the price of a table that another program wrote
// unsorted.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "bench/bench.h"
#include "store/child_hints.h"
#include "store/child_table.h"
#include "store/coding.h"
#include "store/config_file.h"
#include "store/format.h"
#include "store/key.h"
#include "store/name.h"
#include "store/ref.h"

using orvo::store::CfChildCount;
using orvo::store::CfNameHash;
using orvo::store::CreateConfigFile;
using orvo::store::EncodeFixed32;
using orvo::store::FindChildByName;
using orvo::store::ParseNode;

namespace orvo::bench {

namespace {

constexpr int kSiblings = 10000;
constexpr int kLevelWidth = 20;

const char* const kParts[] = {"Window", "Font",  "Color", "Last",   "Recent", "Auto",
                              "Show",   "Sync",  "Proxy", "Update", "Theme",  "Cache",
                              "Limit",  "Start", "Tray",  "Sound",  "Scale",  "Path"};

std::u16string U16(const std::string& s) { return std::u16string(s.begin(), s.end()); }

// Realistic setting names: two words and a number, 8 to 20 characters.
std::u16string SettingName(int i) {
  const int parts = static_cast<int>(sizeof(kParts) / sizeof(kParts[0]));
  return U16(std::string(kParts[i % parts]) + kParts[(i / parts) % parts] + std::to_string(i));
}

// Everything the key benchmarks share, built once.
struct KeyFixture {
  CfRef<CConfigFile> file;
  CfRef<ICfKey> names;                       // 10 000 named children
  CfRef<ICfKey> records;                     // 10 000 unnamed children with id 1
  CfRef<ICfKey> value;                       // a key with a string value
  CfRef<ICfKey> pool_parent;                 // its one child has no live key object
  std::vector<std::u16string> hits, misses;  // lookup order: shuffled
  std::vector<std::u16string> paths;         // three-level paths
  std::map<std::u16string, int> map;         // the floor, same names
  std::map<std::u16string, std::map<std::u16string, std::map<std::u16string, int>>> nested;

  KeyFixture() {
    file.attach(CreateConfigFile(nullptr, 0));
    auto root = CfRef<ICfKey>::Adopt(file->GetRootKey());
    names.attach(root->CreateChild(u"Names", CfTypeNone, nullptr, 0));
    records.attach(root->CreateChild(u"Records", CfTypeNone, nullptr, 0));
    const char16_t text[] = u"C:\\Program Files (x86)\\Tamsiver\\Photo Studio\\bin\\studio.exe";
    for (int i = 0; i < kSiblings; ++i) {
      const std::u16string name = SettingName(i);
      auto k = CfRef<ICfKey>::Adopt(names->CreateChild(name.c_str(), CfTypeWString, text, -1));
      auto r = CfRef<ICfKey>::Adopt(records->CreateChildWithId(1, false, CfTypeNone, nullptr, 0));
      hits.push_back(name);
      misses.push_back(name + u"x");
      map.emplace(name, i);
    }
    // A fixed shuffle, so that lookups do not walk the table in order.
    uint64_t s = 12345;
    for (size_t i = hits.size() - 1; i > 0; --i) {
      s = s * 6364136223846793005ull + 1442695040888963407ull;
      const size_t j = static_cast<size_t>((s >> 33) % (i + 1));
      std::swap(hits[i], hits[j]);
      std::swap(misses[i], misses[j]);
    }
    for (int a = 0; a < kLevelWidth; ++a) {
      const std::u16string l1 = U16("Software" + std::to_string(a));
      auto k1 = CfRef<ICfKey>::Adopt(root->CreateChild(l1.c_str(), CfTypeNone, nullptr, 0));
      for (int b = 0; b < kLevelWidth; ++b) {
        const std::u16string l2 = U16("Tamsiver" + std::to_string(b));
        auto k2 = CfRef<ICfKey>::Adopt(k1->CreateChild(l2.c_str(), CfTypeNone, nullptr, 0));
        for (int c = 0; c < kLevelWidth; ++c) {
          const std::u16string l3 = U16("Widgets" + std::to_string(c));
          auto k3 = CfRef<ICfKey>::Adopt(k2->CreateChild(l3.c_str(), CfTypeNone, nullptr, 0));
          paths.push_back(l1 + u"\\" + l2 + u"\\" + l3);
          nested[l1][l2][l3] = c;
        }
      }
    }
    std::reverse(paths.begin(), paths.end());
    auto holder = CfRef<ICfKey>::Adopt(root->CreateChild(u"Value", CfTypeNone, nullptr, 0));
    value.attach(holder->CreateChild(u"Version", CfTypeWString, u"3.12.1044.0", -1));
    pool_parent.attach(root->CreateChild(u"Pool", CfTypeNone, nullptr, 0));
    auto item = CfRef<ICfKey>::Adopt(pool_parent->CreateChild(u"Item", CfTypeNone, nullptr, 0));
  }
};

// Built on the first call, before the first timed loop.
KeyFixture& Fixture() {
  static KeyFixture* const f = new KeyFixture();
  return *f;
}

// A root read from the body of a file that lists |names| in this order,
// each a leaf under its name's hash.
CfNode* ReadRoot(const std::vector<std::u16string>& names) {
  std::string body(8, '\0');
  uint8_t* p = reinterpret_cast<uint8_t*>(&body[0]);
  p[0] = 4;
  p[1] = kCfBranch;
  EncodeFixed32(p + 4, static_cast<uint32_t>(names.size()));
  body += std::string(reinterpret_cast<const char*>(u"Root"), 8);
  std::string leaves;
  for (const std::u16string& name : names) {
    uint8_t id[4];
    EncodeFixed32(id, CfNameHash(name.c_str(), -1, nullptr));
    body.append(reinterpret_cast<const char*>(id), 4);
    std::string leaf(8, '\0');
    leaf[0] = static_cast<char>(name.size());
    for (char16_t c : name) leaf += std::string{static_cast<char>(c), static_cast<char>(c >> 8)};
    leaves += leaf;
  }
  body += leaves;
  const uint8_t* cursor = reinterpret_cast<const uint8_t*>(body.data());
  return ParseNode(&cursor, cursor + body.size());
}

struct ReadTables {
  CfNode* shuffled;  // the names in the lookup order of the key fixture
  CfNode* sorted;
  ReadTables() {
    const std::vector<std::u16string>& hits = Fixture().hits;
    shuffled = ReadRoot(hits);
    std::vector<std::u16string> by_id = hits;
    std::stable_sort(
        by_id.begin(), by_id.end(), [](const std::u16string& a, const std::u16string& b) {
          return CfNameHash(a.c_str(), -1, nullptr) < CfNameHash(b.c_str(), -1, nullptr);
        });
    sorted = ReadRoot(by_id);
  }
};

ReadTables& Tables() {
  static ReadTables* const t = new ReadTables();
  return *t;
}

// Name lookups straight on a read table, with a key's hints; the names come
// in another shuffle than the file's order.
void FindInTable(benchmark::State& state, const CfNode* node) {
  const std::vector<std::u16string>& hits = Fixture().hits;
  if (node == nullptr || CfChildCount(node) != static_cast<int32_t>(hits.size())) {
    state.SkipWithError("no table");
    return;
  }
  CfChildHints hints;
  size_t i = 0;
  for (auto _ : state) {
    const size_t at = (i * 7919) % hits.size();
    const int32_t pos = FindChildByName(node, hits[at].c_str(), -1, nullptr, &hints);
    if (pos < 0) {
      state.SkipWithError("not found");
      break;
    }
    benchmark::DoNotOptimize(pos);
    if (++i == hits.size()) i = 0;
  }
}

void FindUnsorted(benchmark::State& state) { FindInTable(state, Tables().shuffled); }
void FindSorted(benchmark::State& state) { FindInTable(state, Tables().sorted); }

void FindHit(benchmark::State& state) {
  KeyFixture& f = Fixture();
  size_t i = 0;
  for (auto _ : state) {
    ICfKey* k = f.names->FindChild(f.hits[i].c_str(), -1, nullptr, false);
    if (k == nullptr) {
      state.SkipWithError("not found");
      break;
    }
    k->Release();
    if (++i == f.hits.size()) i = 0;
  }
}

void FindMiss(benchmark::State& state) {
  KeyFixture& f = Fixture();
  size_t i = 0;
  for (auto _ : state) {
    ICfKey* k = f.names->FindChild(f.misses[i].c_str(), -1, nullptr, false);
    benchmark::DoNotOptimize(k);
    if (++i == f.misses.size()) i = 0;
  }
}

void MapHit(benchmark::State& state) {
  KeyFixture& f = Fixture();
  size_t i = 0;
  for (auto _ : state) {
    auto it = f.map.find(f.hits[i]);
    benchmark::DoNotOptimize(it);
    if (++i == f.hits.size()) i = 0;
  }
}

void MapMiss(benchmark::State& state) {
  KeyFixture& f = Fixture();
  size_t i = 0;
  for (auto _ : state) {
    auto it = f.map.find(f.misses[i]);
    benchmark::DoNotOptimize(it);
    if (++i == f.misses.size()) i = 0;
  }
}

// One step of a walk over the records: the n-th child with id 1, released.
void ByIdWalk(benchmark::State& state) {
  KeyFixture& f = Fixture();
  int32_t n = 0;
  for (auto _ : state) {
    ICfKey* k = f.records->GetChildById(1, n);
    if (k == nullptr) {
      state.SkipWithError("not found");
      break;
    }
    k->Release();
    if (++n == kSiblings) n = 0;
  }
}

void MapByIndex(benchmark::State& state) {
  static const std::map<int, int>* const m = [] {
    auto* m = new std::map<int, int>();
    for (int i = 0; i < kSiblings; ++i) m->emplace(i, i);
    return m;
  }();
  int n = 0;
  for (auto _ : state) {
    auto it = m->find(n);
    benchmark::DoNotOptimize(it);
    if (++n == kSiblings) n = 0;
  }
}

void OpenKey3(benchmark::State& state) {
  KeyFixture& f = Fixture();
  size_t i = 0;
  for (auto _ : state) {
    ICfKey* k = f.file->OpenKey(f.paths[i].c_str(), false);
    if (k == nullptr) {
      state.SkipWithError("not found");
      break;
    }
    k->Release();
    if (++i == f.paths.size()) i = 0;
  }
}

void MapOpen3(benchmark::State& state) {
  KeyFixture& f = Fixture();
  // The floor gets its three names already split.
  std::vector<std::u16string> parts;
  for (const std::u16string& p : f.paths) {
    size_t a = p.find(u'\\'), b = p.find(u'\\', a + 1);
    parts.push_back(p.substr(0, a));
    parts.push_back(p.substr(a + 1, b - a - 1));
    parts.push_back(p.substr(b + 1));
  }
  size_t i = 0;
  for (auto _ : state) {
    const auto& l2 = f.nested.find(parts[i])->second;
    const auto& l3 = l2.find(parts[i + 1])->second;
    auto it = l3.find(parts[i + 2]);
    benchmark::DoNotOptimize(it);
    i += 3;
    if (i == parts.size()) i = 0;
  }
}

// A key object for a node that has none: taken from the idle pool, then
// given back to it.
void ObtainRelease(benchmark::State& state) {
  KeyFixture& f = Fixture();
  for (auto _ : state) {
    ICfKey* k = f.pool_parent->GetFirstChild();
    benchmark::DoNotOptimize(k);
    k->Release();
  }
}

void HeapBlock(benchmark::State& state) {
  for (auto _ : state) {
    void* p = std::malloc(sizeof(CCfKeyInterface));
    benchmark::DoNotOptimize(p);
    std::free(p);
  }
}

void SetInPlace(benchmark::State& state) {
  KeyFixture& f = Fixture();
  const char16_t* texts[2] = {u"3.12.1044.0", u"3.12.1045.0"};
  int t = 0;
  for (auto _ : state) {
    if (!f.value->SetValue(CfTypeWString, texts[t], -1)) {
      state.SkipWithError("SetValue failed");
      break;
    }
    t ^= 1;
  }
}

void StringAssign(benchmark::State& state) {
  const char16_t* texts[2] = {u"3.12.1044.0", u"3.12.1045.0"};
  std::u16string s = texts[0];
  int t = 0;
  for (auto _ : state) {
    s.assign(texts[t], 11);
    benchmark::DoNotOptimize(s);
    t ^= 1;
  }
}

// A value that no longer fits makes a new record: a shorter value, then a
// longer one; the pair is measured and the row shows the pair.
void SetGrowPair(benchmark::State& state) {
  KeyFixture& f = Fixture();
  for (auto _ : state) {
    if (!f.value->SetValue(CfTypeWString, u"3.12", -1) ||
        !f.value->SetValue(CfTypeWString, u"3.12.1044.0-beta", -1)) {
      state.SkipWithError("SetValue failed");
      break;
    }
  }
}

// The floor of a rebuild: a new block for the record, the bytes copied, the
// old block freed (plus the in-place write of the shorter value).
void HeapRebuild(benchmark::State& state) {
  const char16_t longer[] = u"3.12.1044.0-beta";
  void* record = std::malloc(64);
  for (auto _ : state) {
    std::memcpy(record, u"3.12", 10);
    void* p = std::malloc(64);
    std::memcpy(p, longer, sizeof(longer));
    std::free(record);
    record = p;
    benchmark::DoNotOptimize(record);
  }
  std::free(record);
}

}  // namespace

void RegisterKeyOps(const Config& config) {
  const struct {
    const char* name;
    void (*fn)(benchmark::State&);
  } list[] = {
      {"key/find_hit/store", FindHit},
      {"key/find_hit/floor", MapHit},
      {"key/find_miss/store", FindMiss},
      {"key/find_miss/floor", MapMiss},
      {"key/by_id/store", ByIdWalk},
      {"key/by_id/floor", MapByIndex},
      {"key/open3/store", OpenKey3},
      {"key/open3/floor", MapOpen3},
      {"key/obtain/store", ObtainRelease},
      {"key/obtain/floor", HeapBlock},
      {"key/set_same/store", SetInPlace},
      {"key/set_same/floor", StringAssign},
      {"key/set_grow/store", SetGrowPair},
      {"key/set_grow/floor", HeapRebuild},
      {"key/find_unsorted/store", FindUnsorted},
      {"key/find_unsorted/floor", FindSorted},
  };
  for (const auto& b : list) {
    Configure(benchmark::RegisterBenchmark(b.name, b.fn), config);
  }
}

}  // namespace orvo::bench
