// Every allocation path of the store and the install operations, driven by a
// test allocator: each scenario runs with its k-th allocation failing (and,
// in a second pass, every one after it too), for k = 1, 2, 3, ... until a run
// meets no failure. After each run: the result is the operation's failure
// result or its full success, the file object's invariants hold, what failed
// left the tree (and the files on disk) as they were, every key object is
// given back, and a save afterwards writes a file that loads. Leaks are
// found by the asan build of this test.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "install/operations.h"
#include "install/path_buffer.h"
#include "platform/shell.h"
#include "store/config_file.h"
#include "store/key.h"
#include "store/ref.h"
#include "tests/testing/failing_allocator.h"
#include "tests/testing/temp_dir.h"

using orvo::store::CreateConfigFile;

namespace orvo::install {
namespace {

namespace fs = std::filesystem;
using orvo::testing::FailAllocationsFrom;
using orvo::testing::StopFailingAllocations;
using orvo::testing::TempDir;

constexpr uint32_t kOpenExisting = 3;
constexpr uint32_t kOpenAlways = kCfOpenAlways;
constexpr int kChildren = 140;  // past the registry's 32, 64 and 128

std::string Ascii(const std::u16string& s) { return std::string(s.begin(), s.end()); }

// One line per key, depth-first: depth, id, name, type, value bytes.
void Describe(ICfKey* key, int depth, std::string* out) {
  CfChar name[256] = {};
  const int32_t n = key->GetName(name, 256);
  uint8_t value[512] = {};
  const int32_t v = key->GetValue(value, sizeof(value));
  *out += std::to_string(depth) + " " + std::to_string(key->GetId(nullptr)) + " " +
          Ascii(std::u16string(name, n > 0 ? n : 0)) + " t" + std::to_string(key->GetType()) + " ";
  for (int32_t i = 0; i < v; ++i) *out += std::to_string(value[i]) + ",";
  *out += "\n";
  for (ICfKey* c = key->GetFirstChild(); c != nullptr; c = c->MoveToNextSibling()) {
    Describe(c, depth + 1, out);
  }
}

std::string DescribeTree(IConfigFile* file) {
  if (file == nullptr) return "<no file object>";
  auto root = CfRef<ICfKey>::Adopt(file->GetRootKey());
  if (!root) return "<no root key>";
  std::string out;
  Describe(root.get(), 0, &out);
  return out;
}

// The tree of the file at |path| as a fresh open reads it.
std::string DescribeDisk(const fs::path& path) {
  auto file = CfRef<CConfigFile>::Adopt(CreateConfigFile(path.u16string().c_str(), kOpenExisting));
  return file ? DescribeTree(file.get()) : "<cannot open>";
}

// The file at |path| and its two companions: sizes and hashes of the bytes.
std::string DiskState(const fs::path& path) {
  std::string out;
  for (const char* suffix : {"", ".new", ".old"}) {
    fs::path p = path;
    p += suffix;
    out += suffix;
    if (fs::exists(p)) {
      const std::string bytes = orvo::testing::ReadWholeFile(p);
      out += " " + std::to_string(bytes.size()) + " bytes, hash " +
             std::to_string(std::hash<std::string>()(bytes));
    } else {
      out += " absent";
    }
    out += "|";
  }
  return out;
}

std::u16string KeyName(int i) {
  return u"k" + std::u16string(1, u'a' + i / 26) + std::u16string(1, u'a' + i % 26);
}

// What one run works on. Scenarios fill in what they use.
struct Run {
  fs::path dir;
  fs::path file_path;     // the store file of the scenario
  std::u16string file16;  // the same, made before the operation runs
  CfRef<CConfigFile> file;
  std::vector<ICfKey*> keys;  // references held across the operation
  CPathBuffer path;
  int32_t result = 0;
  uint64_t broadcasts = 0;
  std::string old_disk;   // the file's tree before a save
  std::string old_bytes;  // the file's bytes before a save

  void ReleaseKeys() {
    for (ICfKey* k : keys) k->Release();
    keys.clear();
  }
};

// Writes |make|'s tree as the file at |path| (no failing allocator).
void WriteFile(const fs::path& path, const std::function<void(ICfKey*)>& make) {
  auto file = CfRef<CConfigFile>::Adopt(CreateConfigFile(path.u16string().c_str(), kOpenAlways));
  ASSERT_TRUE(file);
  auto root = CfRef<ICfKey>::Adopt(file->GetRootKey());
  make(root.get());
  ASSERT_TRUE(file->Save(nullptr));
}

// Three levels of named and unnamed keys with values: 4 x 10 records.
void NestedRecords(ICfKey* root) {
  for (int s = 0; s < 4; ++s) {
    auto section =
        CfRef<ICfKey>::Adopt(root->CreateChild(KeyName(s).c_str(), CfTypeNone, nullptr, 0));
    for (int r = 0; r < 10; ++r) {
      auto record =
          CfRef<ICfKey>::Adopt(section->CreateChildWithId(1, false, CfTypeNone, nullptr, 0));
      auto a = CfRef<ICfKey>::Adopt(
          record->CreateChild(u"Path", CfTypeWString, u"C:\\Program Files\\x", -1));
      auto b = CfRef<ICfKey>::Adopt(record->CreateChild(u"N", CfTypeBinary, "\x01\x02\x03\x04", 4));
    }
  }
}

// |n| named children of the root.
std::function<void(ICfKey*)> Children(int n) {
  return [n](ICfKey* root) {
    for (int i = 0; i < n; ++i) {
      auto c = CfRef<ICfKey>::Adopt(root->CreateChild(KeyName(i).c_str(), CfTypeString, "v", -1));
    }
  };
}

// Opens the scenario's file (no failing allocator).
void OpenFile(Run* r) {
  r->file.attach(CreateConfigFile(r->file_path.u16string().c_str(), kOpenExisting));
  ASSERT_TRUE(r->file);
}

ICfKey* Child(Run* r, const char16_t* name) {
  auto root = CfRef<ICfKey>::Adopt(r->file->GetRootKey());
  return root->FindChild(name, -1, nullptr, false);
}

// The first record of a section of NestedRecords, or its child |value|.
ICfKey* Record(Run* r, const char16_t* section, const char16_t* value = nullptr) {
  auto s = CfRef<ICfKey>::Adopt(Child(r, section));
  auto record = CfRef<ICfKey>::Adopt(s->GetFirstChild());
  return value == nullptr ? record.release() : record->FindChild(value, -1, nullptr, false);
}

// What a run left, for comparing with the run's start and with a run that
// met no failure.
std::string Snapshot(Run* r) {
  return DescribeTree(r->file.get()) + "#" + Ascii(r->path.text()) + "#" + DiskState(r->file_path);
}

// Children of the root, one line each with their subtrees' lines folded in.
// |tree|: a DescribeTree text, or a Snapshot that starts with one.
std::vector<std::string> TopLevelRecords(const std::string& snapshot) {
  const std::string tree = snapshot.substr(0, snapshot.find('#'));
  std::vector<std::string> records;
  size_t start = 0;
  while (start < tree.size()) {
    size_t end = tree.find('\n', start);
    if (end == std::string::npos) end = tree.size();
    const std::string line = tree.substr(start, end - start);
    if (line.rfind("1 ", 0) == 0) {
      records.push_back(line);
    } else if (line.rfind("0 ", 0) != 0 && !records.empty()) {
      records.back() += "/" + line;
    }
    start = end + 1;
  }
  return records;
}

bool IsSubsequence(const std::vector<std::string>& part, const std::vector<std::string>& whole) {
  size_t j = 0;
  for (const std::string& s : whole) {
    if (j < part.size() && part[j] == s) ++j;
  }
  return j == part.size();
}

// The records of section |name| in the file at |path|, as a fresh open reads them.
std::vector<std::string> SectionRecords(const fs::path& path, const char16_t* name) {
  auto file = CfRef<CConfigFile>::Adopt(CreateConfigFile(path.u16string().c_str(), kOpenExisting));
  if (!file) return {"<cannot open>"};
  auto section = CfRef<ICfKey>::Adopt(file->OpenKey(name, false));
  if (!section) return {};
  std::vector<std::string> out;
  for (ICfKey* c = section->GetFirstChild(); c != nullptr; c = c->MoveToNextSibling()) {
    std::string s;
    Describe(c, 1, &s);
    out.push_back(s);
  }
  return out;
}

struct Scenario {
  const char* name;
  const char16_t* notify_section;     // the section a notify scenario writes, or null
  std::function<void(Run*)> prepare;  // runs without failures
  std::function<bool(Run*)> operate;  // runs under the failing allocator
  // Checks a run that reported failure, given the snapshots before it and of
  // the run that met no failure. Null: the snapshot is the one before.
  std::function<void(Run*, const std::string& before, const std::string& whole)> check_failed;
  bool allocates = true;  // false: the operation needs no memory at all
  // A notify that succeeds may still go without an optional value it could
  // not store: only check_failed is asked, whatever the result.
  bool values_may_drop = false;
};

// The registration file after 20 notifications, made once.
std::string NotifiedFile(const fs::path& dir, bool widget) {
  static std::string made[2];
  std::string& bytes = made[widget ? 1 : 0];
  if (!bytes.empty()) return bytes;
  const fs::path folder = dir / "made";
  fs::create_directories(folder);
  setenv("ORVO_COMMON_APPDATA", folder.c_str(), 1);
  for (int i = 0; i < 20; ++i) {
    const std::u16string n = u"App" + KeyName(i);
    const std::u16string exe = u"C:\\" + n + u"\\main.exe";
    const int32_t result =
        widget ? NotifyWidgetInstalled(u"setup", n.c_str(), u"1.0", u"C:\\x", exe.c_str(),
                                       u"icon.ico", u"d", 100, 50, nullptr)
               : NotifyApplicationInstalled(u"setup", n.c_str(), u"1.0", u"C:\\x", exe.c_str(),
                                            u"p", u"icon.ico", u"d", nullptr);
    EXPECT_EQ(result, kResultOk);
  }
  bytes = orvo::testing::ReadWholeFile(folder / "Tamsiver" / "InstallApp.set");
  fs::remove_all(folder);
  return bytes;
}

void NotifyPrepare(Run* r, bool widget) {
  const std::string bytes = NotifiedFile(r->dir, widget);
  ASSERT_FALSE(bytes.empty());
  setenv("ORVO_COMMON_APPDATA", r->dir.c_str(), 1);
  fs::create_directories(r->dir / "Tamsiver");
  r->file_path = r->dir / "Tamsiver" / "InstallApp.set";
  ASSERT_TRUE(orvo::testing::WriteWholeFile(r->file_path, bytes));
  r->broadcasts = platform::BroadcastCount();
}

// After a notify: the old records are all there as they were, at most one
// was added, the result is S_OK or a failure, and nothing was kept aside
// (the file was read whole). What a save that ran out of memory does to the
// result is not this loop's concern; that nothing is lost is.
void NotifyCheck(Run* r, const char16_t* section, const std::vector<std::string>& old) {
  // A failure is any failure result (no file object, no lock, a save that
  // failed), never a success that lost something.
  EXPECT_TRUE(r->result == kResultOk || r->result < 0) << r->result;
  const std::vector<std::string> now = SectionRecords(r->file_path, section);
  ASSERT_GE(now.size(), old.size());
  EXPECT_LE(now.size(), old.size() + 1);
  for (size_t i = 0; i < old.size(); ++i) {
    EXPECT_NE(std::find(now.begin(), now.end(), old[i]), now.end()) << old[i];
  }
  if (now.size() > old.size()) {
    EXPECT_EQ(platform::BroadcastCount(), r->broadcasts + 1);
  }
  fs::path kept = r->file_path;
  kept += ".old";
  EXPECT_FALSE(fs::exists(kept)) << "a file read whole needs no kept copy";
}

Scenario Make(const char* name, const char16_t* notify_section, std::function<void(Run*)> prepare,
              std::function<bool(Run*)> operate,
              std::function<void(Run*, const std::string&, const std::string&)> check_failed = {},
              bool allocates = true) {
  return Scenario{
      name,     notify_section, std::move(prepare), std::move(operate), std::move(check_failed),
      allocates};
}

Run* Keep(Run* r, ICfKey* k) {
  if (k != nullptr) r->keys.push_back(k);
  return r;
}

bool Open(Run* r) {
  r->file.attach(CreateConfigFile(r->file16.c_str(), kOpenExisting));
  return static_cast<bool>(r->file);
}

void Loaded(Run* r) {
  WriteFile(r->file_path, NestedRecords);
  OpenFile(r);
}

std::function<void(Run*)> LoadedChildren(int n) {
  return [n](Run* r) {
    WriteFile(r->file_path, Children(n));
    OpenFile(r);
  };
}

// Holds a key on every child of the root.
bool HoldEveryChild(Run* r) {
  auto root = CfRef<ICfKey>::Adopt(r->file->GetRootKey());
  for (ICfKey* k = root->GetFirstChild(); k != nullptr; k = k->GetNextSibling()) Keep(r, k);
  return r->keys.size() == static_cast<size_t>(kChildren);
}

std::vector<Scenario> Scenarios() {
  std::vector<Scenario> list;
  // Loads: the file itself, and the side file in place of a file whose save
  // was cut short. A failed open leaves every file as it was.
  list.push_back(Make(
      "load", nullptr,
      [](Run* r) {
        // Written last by a program that keeps no side file.
        WriteFile(r->file_path, NestedRecords);
        fs::path side = r->file_path;
        fs::remove(side += ".new");
      },
      Open));
  list.push_back(Make(
      "load from the side file", nullptr,
      [](Run* r) {
        WriteFile(r->file_path, NestedRecords);
        fs::path side = r->file_path;
        side += ".new";
        std::string bytes = orvo::testing::ReadWholeFile(r->file_path);
        ASSERT_TRUE(orvo::testing::WriteWholeFile(side, bytes));
        bytes[8] = 1;  // commit marks 1 and 2: a save that stopped
        ASSERT_TRUE(orvo::testing::WriteWholeFile(r->file_path, bytes));
      },
      Open));
  // Key operations on a loaded file; each one is whole or has no effect.
  list.push_back(Make("FindChild with create", nullptr, Loaded, [](Run* r) {
    auto section = CfRef<ICfKey>::Adopt(Child(r, u"kaa"));
    ICfKey* k = section->FindChild(u"New", -1, nullptr, true);
    return Keep(r, k) && k != nullptr;
  }));
  list.push_back(Make("CreateChild on a leaf", nullptr, Loaded, [](Run* r) {
    auto leaf = CfRef<ICfKey>::Adopt(Record(r, u"kaa", u"N"));
    ICfKey* k = leaf->CreateChild(u"Below", CfTypeString, "x", -1);
    return Keep(r, k) && k != nullptr;
  }));
  list.push_back(Make("CreateChild growing a table", nullptr, LoadedChildren(16), [](Run* r) {
    auto root = CfRef<ICfKey>::Adopt(r->file->GetRootKey());
    ICfKey* k = root->CreateChild(u"Seventeenth", CfTypeString, "x", -1);
    return Keep(r, k) && k != nullptr;
  }));
  list.push_back(Make("CreateChildWithId", nullptr, Loaded, [](Run* r) {
    auto section = CfRef<ICfKey>::Adopt(Child(r, u"kab"));
    ICfKey* k = section->CreateChildWithId(1, true, CfTypeString, "abc", -1);
    return Keep(r, k) && k != nullptr;
  }));
  list.push_back(Make("SetValue growing", nullptr, Loaded, [](Run* r) {
    auto key = CfRef<ICfKey>::Adopt(Record(r, u"kac"));  // a branch with children
    static const uint8_t big[300] = {7, 7, 7};
    return key->SetValue(CfTypeBinary, big, sizeof(big));
  }));
  list.push_back(Make(
      "SetValue shrinking", nullptr, Loaded,
      [](Run* r) {
        auto key = CfRef<ICfKey>::Adopt(Record(r, u"kac", u"Path"));
        return key->SetValue(CfTypeBinary, "s", 1);
      },
      nullptr, false));
  list.push_back(Make("Rename", nullptr, Loaded, [](Run* r) {
    auto key = CfRef<ICfKey>::Adopt(Child(r, u"kad"));
    return key->Rename(u"Renamed", true);
  }));
  list.push_back(Make(
      "Delete while iterating", nullptr, LoadedChildren(kChildren),
      [](Run* r) {
        auto root = CfRef<ICfKey>::Adopt(r->file->GetRootKey());
        int visited = 0;
        for (ICfKey* k = root->GetFirstChild(); k != nullptr; ++visited) {
          k = k->MoveToNextSiblingEx(true);
        }
        auto first = CfRef<ICfKey>::Adopt(root->GetFirstChild());
        return visited == kChildren && !first;
      },
      [](Run* r, const std::string& before, const std::string&) {
        // Every key left is one of the old ones, whole and in order.
        EXPECT_TRUE(
            IsSubsequence(TopLevelRecords(DescribeTree(r->file.get())), TopLevelRecords(before)));
      }));
  // The key registry: live keys on 140 children take it from the room inside
  // the object past 32, 64 and 128 entries; giving them back shrinks it again.
  list.push_back(Make("key registry growing", nullptr, LoadedChildren(kChildren), HoldEveryChild));
  list.push_back(Make(
      "key registry shrinking", nullptr,
      [](Run* r) {
        LoadedChildren(kChildren)(r);
        ASSERT_TRUE(HoldEveryChild(r));
      },
      [](Run* r) {
        r->ReleaseKeys();
        return r->file->LiveKeyCount() == 1;
      }));
  // Save: a failed save leaves a file that reads as the old tree or the new
  // one, nothing kept aside, and the next save succeeds.
  list.push_back(Make(
      "Save", nullptr,
      [](Run* r) {
        Loaded(r);
        r->old_disk = DescribeDisk(r->file_path);
        auto k = CfRef<ICfKey>::Adopt(r->file->OpenKey(u"Added\\Deeper", true));
        ASSERT_TRUE(k);
      },
      [](Run* r) { return r->file->Save(nullptr); },
      [](Run* r, const std::string&, const std::string&) {
        const std::string tree = DescribeTree(r->file.get());
        const std::string disk = DescribeDisk(r->file_path);
        EXPECT_TRUE(disk == tree || disk == r->old_disk) << disk;
        fs::path kept = r->file_path;
        kept += ".old";
        EXPECT_FALSE(fs::exists(kept));
        ASSERT_TRUE(r->file->Save(nullptr));
        EXPECT_EQ(DescribeDisk(r->file_path), tree);
      }));
  // Save over a file that was read only in part, with a side file beside it
  // that holds another tree: whatever happens, the file's old bytes stay in
  // the file or in the kept copy.
  list.push_back(Make(
      "Save over a file read in part", nullptr,
      [](Run* r) {
        fs::path side = r->file_path;
        side += ".new";
        WriteFile(side, Children(3));
        fs::path side_of_side = side;
        fs::remove(side_of_side += ".new");
        WriteFile(r->file_path, NestedRecords);
        std::string bytes = orvo::testing::ReadWholeFile(r->file_path);
        bytes[4] = 4;    // version 0x10004: no checksum,
        bytes[20] -= 4;  // and a body size that cuts the last record
        ASSERT_TRUE(orvo::testing::WriteWholeFile(r->file_path, bytes));
        r->old_bytes = bytes;
        OpenFile(r);
        auto k = CfRef<ICfKey>::Adopt(r->file->OpenKey(u"Added", true));
        ASSERT_TRUE(k);
      },
      [](Run* r) { return r->file->Save(nullptr); },
      [](Run* r, const std::string&, const std::string&) {
        fs::path kept = r->file_path;
        kept += ".old";
        const bool in_file = orvo::testing::ReadWholeFile(r->file_path) == r->old_bytes;
        const bool in_kept = fs::exists(kept) && orvo::testing::ReadWholeFile(kept) == r->old_bytes;
        EXPECT_TRUE(in_file || in_kept) << "the old bytes are lost";
      }));
  // The path buffer climbing out of a path deeper than the 16 separators it
  // holds in place.
  list.push_back(Make(
      "path buffer Append", nullptr,
      [](Run* r) {
        std::u16string deep = u"C:";
        for (int i = 0; i < 40; ++i) deep += u"\\d" + KeyName(i);
        r->path.Assign((deep + u"\\file.txt").c_str());
      },
      [](Run* r) { return r->path.Append(u"..\\..\\..\\up\\x.set", true); }));
  // Both notify operations over a file of 20 records (see NotifyCheck).
  list.push_back(Make(
      "NotifyApplicationInstalled", u"APP", [](Run* r) { NotifyPrepare(r, false); },
      [](Run* r) {
        r->result =
            NotifyApplicationInstalled(u"setup", u"New", u"2.0", u"C:\\new", u"C:\\new\\new.exe",
                                       u"-x", u"C:\\new\\new.ico", u"desc", nullptr);
        return r->result == kResultOk;
      }));
  list.push_back(Make(
      "NotifyWidgetInstalled", u"Widget", [](Run* r) { NotifyPrepare(r, true); },
      [](Run* r) {
        r->result =
            NotifyWidgetInstalled(u"setup", u"Clock", u"2.0", u"C:\\new", u"C:\\new\\clock.exe",
                                  u"C:\\new\\clock.ico", u"desc", 200, 100, nullptr);
        return r->result == kResultOk;
      }));
  // Replacing a registered widget: when it fails, the widget registered
  // before is still in the file.
  list.push_back(Make(
      "NotifyWidgetInstalled replacing a widget", nullptr, [](Run* r) { NotifyPrepare(r, true); },
      [](Run* r) {
        r->result =
            NotifyWidgetInstalled(u"setup", u"Appkaa", u"2.0", u"C:\\new", u"C:\\new\\clock.exe",
                                  u"C:\\new\\clock.ico", u"desc", 200, 100, nullptr);
        return r->result == kResultOk;
      },
      [](Run* r, const std::string&, const std::string&) {
        auto file = CfRef<CConfigFile>::Adopt(
            CreateConfigFile(r->file_path.u16string().c_str(), kOpenExisting));
        ASSERT_TRUE(file);
        auto widget = CfRef<ICfKey>::Adopt(file->OpenKey(u"Widget\\Appkaa", false));
        EXPECT_TRUE(widget) << "the registered widget is lost";
      }));
  list.back().values_may_drop = true;
  // Updating and removing an application over the same file: whatever
  // allocation fails, every other record is there as it was, and the one
  // the call is about is never lost by an update nor left by a removal that
  // reports success. (A key handle that cannot be had reads as "no such
  // record" through the key interface, so then an update may add the record
  // a second time, and a removal may answer that there was nothing to remove.)
  // The record of "Appkad", by the UTF-16 bytes of "kad" as Describe shows them.
  static constexpr char kTarget[] = "107,0,97,0,100,0,";
  const auto others_kept = [](Run* r, bool removal) {
    const std::vector<std::string> before = SectionRecords(r->dir / "before.set", u"APP");
    const std::vector<std::string> now = SectionRecords(r->file_path, u"APP");
    size_t kept = 0, found_target = 0;
    for (const std::string& record : before) {
      if (record.find(kTarget) != std::string::npos) continue;
      const bool present = std::find(now.begin(), now.end(), record) != now.end();
      EXPECT_TRUE(present) << "lost: " << record;
      kept += present;
    }
    for (const std::string& record : now) found_target += record.find(kTarget) != std::string::npos;
    EXPECT_EQ(kept, before.size() - 1);
    EXPECT_EQ(now.size(), kept + found_target);
    if (removal) {
      EXPECT_TRUE(r->result == kResultOk || r->result == kResultNothingToRemove || r->result < 0)
          << r->result;
      EXPECT_EQ(found_target, r->result == kResultOk ? 0u : 1u);
    } else {
      EXPECT_TRUE(r->result == kResultOk || r->result < 0) << r->result;
      EXPECT_GE(found_target, 1u);
      EXPECT_LE(found_target, 2u);
    }
  };
  const auto prepare_with_copy = [](Run* r) {
    NotifyPrepare(r, false);
    fs::copy_file(r->file_path, r->dir / "before.set");
  };
  list.push_back(Make(
      "NotifyApplicationUpdated", nullptr, prepare_with_copy,
      [](Run* r) {
        r->result = NotifyApplicationUpdated(u"setup", u"Appkad", u"2.0", u"C:\\new",
                                             u"c:\\appkad\\MAIN.EXE", nullptr, u"new.ico", nullptr,
                                             nullptr);
        return r->result == kResultOk;
      },
      [others_kept](Run* r, const std::string&, const std::string&) { others_kept(r, false); }));
  list.back().values_may_drop = true;
  list.push_back(Make(
      "NotifyApplicationUninstalled", nullptr, prepare_with_copy,
      [](Run* r) {
        r->result = NotifyApplicationUninstalled(u"C:\\Appkad\\main.exe", nullptr);
        return r->result == kResultOk;
      },
      [others_kept](Run* r, const std::string&, const std::string&) { others_kept(r, true); }));
  list.back().values_may_drop = true;
  return list;
}

// One run of |s| with allocation k failing (and every later one with
// |every_after|); k = 0 fails none. Returns whether an allocation failed.
bool RunOnce(const Scenario& s, const fs::path& dir, uint64_t k, bool every_after,
             const std::string& whole, std::string* snapshot) {
  SCOPED_TRACE(std::string(s.name) + ", allocation " + std::to_string(k) +
               (every_after ? " and after" : ""));
  fs::remove_all(dir);
  fs::create_directories(dir);
  Run r;
  r.dir = dir;
  r.file_path = dir / "test.set";
  s.prepare(&r);
  if (::testing::Test::HasFatalFailure()) return false;
  const std::string before = Snapshot(&r);
  r.file16 = r.file_path.u16string();
  r.keys.reserve(kChildren + 8);  // the test's own memory, taken before the operation
  const bool notify = s.notify_section != nullptr;
  const std::vector<std::string> old_records =
      notify ? SectionRecords(r.file_path, s.notify_section) : std::vector<std::string>();

  FailAllocationsFrom(k, every_after);
  bool ok = false;
  try {
    ok = s.operate(&r);
  } catch (const std::exception& e) {
    StopFailingAllocations();
    ADD_FAILURE() << "an exception left the operation: " << e.what();
    return false;
  }
  const bool failed = StopFailingAllocations();

  if (!failed) {
    EXPECT_TRUE(ok) << "no allocation failed, yet the operation did";
  }
  if (notify) {
    NotifyCheck(&r, s.notify_section, old_records);
  } else if (ok && s.values_may_drop) {
    s.check_failed(&r, before, whole);
  } else if (ok) {
    if (!whole.empty()) {
      EXPECT_EQ(Snapshot(&r), whole);
    }
  } else if (s.check_failed) {
    s.check_failed(&r, before, whole);
  } else {
    EXPECT_EQ(Snapshot(&r), before) << "a failed operation changed something";
  }
  std::string message;
  if (r.file) {
    // Every key handed out is registered, and the bookkeeping holds with
    // the keys still held and after they are given back.
    EXPECT_TRUE(r.file->CheckInvariants(&message)) << message;
    // (The held keys, the root's and the parents they keep.)
    EXPECT_GE(r.file->LiveKeyCount(), static_cast<int32_t>(1 + r.keys.size()));
  }
  r.ReleaseKeys();
  if (r.file) {
    EXPECT_TRUE(r.file->CheckInvariants(&message)) << message;
    EXPECT_EQ(r.file->LiveKeyCount(), 1) << "key objects not given back";
    // A save afterwards writes a file that loads as the tree in memory.
    const fs::path copy = dir / "after.set";
    EXPECT_TRUE(r.file->Save(copy.u16string().c_str()));
    EXPECT_EQ(DescribeDisk(copy), DescribeTree(r.file.get()));
  }
  *snapshot = Snapshot(&r);
  return failed;
}

TEST(AllocationFailureTest, EveryAllocationOfEveryScenario) {
  // Saves flush: a folder in memory keeps the loop quick where there is one.
  if (fs::is_directory("/dev/shm")) setenv("TMPDIR", "/dev/shm", 1);
  TempDir temp;
  ASSERT_TRUE(temp.ok());
  const fs::path dir = temp.NativePath(u"run");
  int runs = 0;
  for (const Scenario& s : Scenarios()) {
    std::string whole;
    ASSERT_FALSE(RunOnce(s, dir, 0, false, "", &whole)) << s.name;
    if (HasFailure()) return;
    if (s.notify_section != nullptr) whole.clear();  // a notify's outcome is checked by NotifyCheck
    for (bool every_after : {false, true}) {
      uint64_t k = 1;
      std::string snapshot;
      for (; RunOnce(s, dir, k, every_after, whole, &snapshot); ++k) {
        ++runs;
        if (HasFailure()) return;
      }
      EXPECT_EQ(k > 1, s.allocates) << s.name << ": " << k - 1 << " allocations";
      std::printf("[ figures  ] %s%s: %llu allocations\n", s.name,
                  every_after ? " (every one after k)" : "",
                  static_cast<unsigned long long>(k - 1));
      std::fflush(stdout);
    }
  }
  std::printf("[ figures  ] %d runs\n", runs);
}

}  // namespace
}  // namespace orvo::install
