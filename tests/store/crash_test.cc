// Saves and opens of a file object that fail or crash at every call they
// make, on the in-memory file system: a failed save leaves the tree in memory
// as it was, and whatever happens the next open reads exactly the old tree
// or the new one. Content that cannot be read is never replaced without a
// copy beside the file.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "platform/memory_file_system.h"
#include "store/coding.h"
#include "store/config_file.h"
#include "store/file_io.h"
#include "store/format.h"
#include "store/key.h"
#include "store/ref.h"
#include "store/save_protocol.h"
#include "store/tree.h"
#include "tests/store/side_file_util.h"
#include "tests/testing/scoped_file_system.h"
#include "tests/testing/tree_util.h"

using orvo::store::CfChecksum;
using orvo::store::CreateConfigFile;
using orvo::store::EncodeFixed32;
using orvo::store::LoadConfigFile;

namespace {

using orvo::platform::FileSystem;
using orvo::platform::MemoryFileSystem;
using orvo::testing::DescribeTree;
using CrashKind = MemoryFileSystem::CrashKind;

constexpr uint32_t kOpenExisting = orvo::platform::kOpenExisting;
constexpr uint32_t kOpenAlways = orvo::platform::kOpenAlways;
const std::u16string kPath = u"C:\\ProgramData\\Tamsiver\\InstallApp.set";
const std::u16string kSide = kPath + kCfSideFileSuffix;
const std::u16string kKept = kPath + kCfKeptCopySuffix;
constexpr uint32_t kSeeds[] = {1, 2, 3, 4, 5, 6};

// What the disk holds before the save or open under test.
enum class Start {
  kNoFile,       // nothing yet
  kCommitted,    // a file and its side file, as a save leaves them
  kLegacy,       // a file without a side file (written before side files)
  kInterrupted,  // a save stopped in the file: only the side file is whole
  kForeign,      // bytes that are no configuration file
  kPartial,      // a file that reads only up to a record that cannot be read
};

const char* Name(Start s) {
  switch (s) {
    case Start::kNoFile:
      return "no file";
    case Start::kCommitted:
      return "committed";
    case Start::kLegacy:
      return "without side file";
    case Start::kInterrupted:
      return "interrupted";
    case Start::kForeign:
      return "foreign bytes";
    case Start::kPartial:
      return "readable in part";
  }
  return "?";
}

constexpr Start kStarts[] = {Start::kNoFile,      Start::kCommitted, Start::kLegacy,
                             Start::kInterrupted, Start::kForeign,   Start::kPartial};

using orvo::testing::ScopedFileSystem;

// Generation |g| of the content: a new application record, a counter and a
// value whose length grows, so that the body spans several sectors.
void Modify(CConfigFile* file, int32_t g) {
  auto apps = CfRef<ICfKey>::Adopt(file->OpenKey(u"APP", true));
  ASSERT_TRUE(apps);
  auto record = CfRef<ICfKey>::Adopt(apps->CreateChildWithId(1, false, CfTypeNone, nullptr, 0));
  ASSERT_TRUE(record);
  const std::u16string path = u"C:\\Apps\\" + std::u16string(1, static_cast<char16_t>(u'A' + g));
  auto value = CfRef<ICfKey>::Adopt(
      record->CreateChild(u"MainProgramPath", CfTypeWString, path.c_str(), -1));
  ASSERT_TRUE(value);
  auto counter = CfRef<ICfKey>::Adopt(file->OpenKey(u"Counter", true));
  ASSERT_TRUE(counter && counter->SetValue(CfTypeBinary, &g, 4));
  const std::string blob(static_cast<size_t>(1200 + 300 * g), static_cast<char>('a' + g));
  auto big = CfRef<ICfKey>::Adopt(file->OpenKey(u"Blob", true));
  ASSERT_TRUE(big && big->SetValue(CfTypeBinary, blob.data(), static_cast<int32_t>(blob.size())));
}

// The tree of a file object, read through its keys.
void DescribeKeys(ICfKey* key, int depth, std::string* out) {
  out->append(2 * static_cast<size_t>(depth), ' ');
  CfChar name[256] = {};
  const int32_t n = key->GetName(name, 256);
  for (int32_t i = 0; i < n; ++i) out->push_back(static_cast<char>(name[i]));
  char buf[64];
  std::snprintf(buf, sizeof(buf), " #%u t%d a%u ", static_cast<unsigned>(key->GetId(nullptr)),
                static_cast<int>(key->GetType()), static_cast<unsigned>(key->GetAttributes()));
  *out += buf;
  std::string value(static_cast<size_t>(key->GetValueLength()), '\0');
  if (!value.empty()) key->GetValue(&value[0], static_cast<int32_t>(value.size()));
  *out += std::to_string(value.size()) + ":" + std::to_string(std::hash<std::string>()(value));
  *out += '\n';
  for (auto c = CfRef<ICfKey>::Adopt(key->GetFirstChild()); c; c.attach(c->GetNextSibling())) {
    DescribeKeys(c.get(), depth + 1, out);
  }
}

std::string DescribeKeys(CConfigFile* file) {
  auto root = CfRef<ICfKey>::Adopt(file->GetRootKey());
  std::string out;
  if (root) DescribeKeys(root.get(), 0, &out);
  return out;
}

// What the next open of |path| reads, described; *source tells from where.
std::string OpenAndDescribe(const std::u16string& path, CfTreeSource* source = nullptr) {
  CfNode* root = nullptr;
  CfHeaderImage image;
  CfLoadReport from;
  if (!LoadConfigFile(path.c_str(), kOpenAlways, &root, &image, &from)) return "<no open>";
  CfTree tree(root);
  if (source != nullptr) *source = from.source;
  return DescribeTree(root);
}

std::string Header(uint32_t version, uint32_t mark, uint32_t mark_copy, const std::string& body) {
  uint8_t h[kCfHeaderSize] = {};
  EncodeFixed32(h + kCfMagicOffset, kCfMagic);
  EncodeFixed32(h + kCfVersionOffset, version);
  EncodeFixed32(h + kCfCommitOffset, mark);
  EncodeFixed32(h + kCfHeaderSizeOffset, kCfHeaderSize);
  EncodeFixed32(h + kCfBodySizeOffset, static_cast<uint32_t>(body.size()));
  EncodeFixed32(h + kCfChecksumOffset,
                CfChecksum(reinterpret_cast<const uint8_t*>(body.data()), body.size()));
  EncodeFixed32(h + kCfCommitCopyOffset, mark_copy);
  return std::string(reinterpret_cast<char*>(h), sizeof(h));
}

// The disk images of every start, made once.
struct Images {
  std::string committed;  // generation 1, saved
  std::string foreign;
  std::string partial;
};

const Images& TheImages() {
  static const Images* images = [] {
    auto* im = new Images();
    MemoryFileSystem fs;
    ScopedFileSystem scope(&fs);
    auto file = CfRef<CConfigFile>::Adopt(CreateConfigFile(kPath.c_str(), kOpenAlways));
    Modify(file.get(), 1);
    file->Save(nullptr);
    fs.GetFile(kPath, &im->committed);
    uint32_t x = 12345;
    for (int i = 0; i < 3000; ++i) {
      x = x * 1103515245u + 12345u;
      im->foreign.push_back(static_cast<char>(x >> 16));
    }
    // A root listing three children whose body holds two (an older version,
    // so without a checksum test): reads as the root, "a" and "b".
    const uint8_t body[] = {4, 4, 0, 0, 3,   0, 0, 0, 'R', 0, 'o', 0, 'o', 0, 't', 0,
                            1, 0, 0, 0, 2,   0, 0, 0, 3,   0, 0,   0, 1,   0, 0,   0,
                            0, 0, 0, 0, 'a', 0, 1, 0, 0,   0, 0,   0, 0,   0, 'b', 0};
    const std::string b(reinterpret_cast<const char*>(body), sizeof(body));
    im->partial = Header(0x10004, 2, 2, b) + b;
    return im;
  }();
  return *images;
}

void Prepare(Start start, MemoryFileSystem* fs) {
  const Images& im = TheImages();
  switch (start) {
    case Start::kNoFile:
      break;
    case Start::kCommitted:
      fs->SetFile(kPath, im.committed);
      fs->SetFile(kSide, im.committed);
      break;
    case Start::kLegacy:
      fs->SetFile(kPath, im.committed);
      break;
    case Start::kInterrupted: {
      // The first header of a save over generation 1 and half a new body.
      std::string torn = im.committed;
      EncodeFixed32(reinterpret_cast<uint8_t*>(&torn[kCfCommitOffset]), kCfCommitWriting);
      EncodeFixed32(reinterpret_cast<uint8_t*>(&torn[kCfCommitCopyOffset]), 0);
      for (size_t i = kCfHeaderSize + 40; i < torn.size(); i += 7) torn[i] = 'x';
      fs->SetFile(kPath, torn);
      // The file it began from held those body bytes under generation 1's
      // header.
      const std::string base = im.committed.substr(0, kCfHeaderSize) + torn.substr(kCfHeaderSize);
      fs->SetFile(kSide, orvo::testing::InFlightSideFile(im.committed, base));
      break;
    }
    case Start::kForeign:
      fs->SetFile(kPath, im.foreign);
      break;
    case Start::kPartial:
      fs->SetFile(kPath, im.partial);
      break;
  }
}

// Bytes that must never vanish without a copy: what a start holds that the
// open cannot read whole.
bool HasUnreadBytes(Start s) { return s == Start::kForeign || s == Start::kPartial; }

std::string Original(Start s) {
  return s == Start::kForeign ? TheImages().foreign : TheImages().partial;
}

// The file, or the kept copy, still holds the original bytes.
void ExpectOriginalKept(Start start, const MemoryFileSystem& fs) {
  if (!HasUnreadBytes(start)) return;
  std::string main, kept;
  fs.GetFile(kPath, &main);
  fs.GetFile(kKept, &kept);
  EXPECT_TRUE(main == Original(start) || kept == Original(start));
}

// The old and new trees of a start: what an open reads before the save of
// generation 2, and after it.
struct Expected {
  std::string old_tree;
  std::string old_keys;  // the old tree as the file object shows it
  std::string new_tree;
  int save_calls = 0;  // calls of a save that nothing disturbs
  int open_calls = 0;  // calls of an open that nothing disturbs
};

Expected ExpectedFor(Start start) {
  Expected e;
  MemoryFileSystem fs;
  ScopedFileSystem scope(&fs);
  Prepare(start, &fs);
  e.old_tree = OpenAndDescribe(kPath);
  fs.counts = MemoryFileSystem::Counts();
  auto file = CfRef<CConfigFile>::Adopt(CreateConfigFile(kPath.c_str(), kOpenAlways));
  e.open_calls = fs.counts.calls;
  e.old_keys = DescribeKeys(file.get());
  Modify(file.get(), 2);
  fs.counts = MemoryFileSystem::Counts();
  EXPECT_TRUE(file->Save(nullptr));
  e.save_calls = fs.counts.calls;
  e.new_tree = OpenAndDescribe(kPath);
  EXPECT_NE(e.old_tree, e.new_tree);
  return e;
}

// How a run of the save goes wrong.
enum class Trouble {
  kFail,               // one call fails; the program goes on
  kFailThenPowerLoss,  // one call fails, then the power goes
  kKilled,             // the process dies before the call
  kKilledByPowerLoss,  // the machine stops before the call
};

struct Tally {
  int scenarios = 0;
  int old_trees = 0;
  int new_trees = 0;
  int from_side_file = 0;
  int failed_saves = 0;
};

class CrashTest : public ::testing::Test {
 protected:
  static void TearDownTestSuite() {
    std::printf(
        "[ figures  ] saves: %d failure points, %d scenarios (%d failed saves); next open read "
        "the old tree %d times, the new one %d times (%d from the side file)\n",
        save_points_, save_.scenarios, save_.failed_saves, save_.old_trees, save_.new_trees,
        save_.from_side_file);
    std::printf("[ figures  ] opens: %d failure points, %d scenarios\n", open_points_,
                open_.scenarios);
  }

  // One save of generation 2 from |start| under |faults|, then |trouble|.
  void RunSave(Start start, const Expected& e, int call, Trouble trouble, uint32_t seed) {
    SCOPED_TRACE(std::string(Name(start)) + ", call " + std::to_string(call) + ", trouble " +
                 std::to_string(static_cast<int>(trouble)) + ", seed " + std::to_string(seed));
    MemoryFileSystem fs;
    ScopedFileSystem scope(&fs);
    Prepare(start, &fs);
    auto file = CfRef<CConfigFile>::Adopt(CreateConfigFile(kPath.c_str(), kOpenAlways));
    ASSERT_TRUE(file);
    Modify(file.get(), 2);
    const std::string in_memory = DescribeKeys(file.get());

    fs.counts = MemoryFileSystem::Counts();
    const bool crash = trouble == Trouble::kKilled || trouble == Trouble::kKilledByPowerLoss;
    (crash ? fs.faults.crash_call : fs.faults.fail_call) = call;
    const bool saved = file->Save(nullptr);
    fs.faults = MemoryFileSystem::Faults();
    EXPECT_EQ(DescribeKeys(file.get()), in_memory);  // the save never changes the tree
    if (!saved) ++save_.failed_saves;

    if (trouble == Trouble::kFail) {
      // The program goes on: the next open reads a whole tree, and a save
      // that nothing disturbs writes the new one.
      const std::string now = OpenAndDescribe(kPath);
      EXPECT_TRUE(now == e.old_tree || now == e.new_tree);
      if (saved) {
        EXPECT_EQ(now, e.new_tree);
      }
      ASSERT_TRUE(file->Save(nullptr));
      EXPECT_EQ(OpenAndDescribe(kPath), e.new_tree);
      ExpectOriginalKept(start, fs);
      ++save_.scenarios;
      return;
    }
    file.reset();  // the process is gone; its handles with it
    fs.Crash(trouble == Trouble::kKilled ? CrashKind::kProcessKill : CrashKind::kPowerLoss, seed);
    CfTreeSource source;
    const std::string after = OpenAndDescribe(kPath, &source);
    ++save_.scenarios;
    if (after == e.old_tree) {
      ++save_.old_trees;
    } else if (after == e.new_tree) {
      ++save_.new_trees;
    } else {
      ADD_FAILURE() << "after the crash the file reads neither tree:\n" << after;
    }
    if (source == CfTreeSource::kSideFile) ++save_.from_side_file;
    if (saved) {
      EXPECT_EQ(after, e.new_tree);
    }
    ExpectOriginalKept(start, fs);

    // The program that runs next saves what it read; nothing is lost on the way.
    auto next = CfRef<CConfigFile>::Adopt(CreateConfigFile(kPath.c_str(), kOpenAlways));
    ASSERT_TRUE(next);
    const std::string read = DescribeKeys(next.get());
    ASSERT_TRUE(next->Save(nullptr));
    next.reset();
    next.attach(CreateConfigFile(kPath.c_str(), kOpenExisting));
    ASSERT_TRUE(next);
    EXPECT_EQ(DescribeKeys(next.get()), read);
    ExpectOriginalKept(start, fs);
  }

  // One open of |start| with a failure or a crash at |call|.
  void RunOpen(Start start, const Expected& e, int call, Trouble trouble, uint32_t seed) {
    SCOPED_TRACE(std::string(Name(start)) + ", open call " + std::to_string(call) + ", trouble " +
                 std::to_string(static_cast<int>(trouble)) + ", seed " + std::to_string(seed));
    MemoryFileSystem fs;
    ScopedFileSystem scope(&fs);
    Prepare(start, &fs);
    std::string main_before, side_before;
    fs.GetFile(kPath, &main_before);
    fs.GetFile(kSide, &side_before);
    const bool crash = trouble == Trouble::kKilled || trouble == Trouble::kKilledByPowerLoss;
    (crash ? fs.faults.crash_call : fs.faults.fail_call) = call;
    auto file = CfRef<CConfigFile>::Adopt(CreateConfigFile(kPath.c_str(), kOpenAlways));
    fs.faults = MemoryFileSystem::Faults();
    ++open_.scenarios;
    if (crash) {
      file.reset();
      fs.Crash(trouble == Trouble::kKilled ? CrashKind::kProcessKill : CrashKind::kPowerLoss, seed);
      EXPECT_EQ(OpenAndDescribe(kPath), e.old_tree);
      return;
    }
    if (!file) {  // a failed open changes nothing
      EXPECT_EQ(OpenAndDescribe(kPath), e.old_tree);
      return;
    }
    const std::string read = DescribeKeys(file.get());
    Modify(file.get(), 2);
    ASSERT_TRUE(file->Save(nullptr));
    std::string kept;
    const bool has_kept = fs.GetFile(kKept, &kept);
    if (read != e.old_keys || HasUnreadBytes(start)) {
      // What the open could not read was copied beside the file before the
      // save replaced it: the file's bytes or the side file's, whichever
      // holds the old content.
      ASSERT_TRUE(has_kept);
      EXPECT_TRUE(kept == main_before || kept == side_before);
      MemoryFileSystem copy;
      ScopedFileSystem inner(&copy);
      copy.SetFile(u"kept", kept);
      EXPECT_EQ(OpenAndDescribe(u"kept"), e.old_tree);
    } else {
      EXPECT_FALSE(has_kept);  // the open read all there was
    }
  }

  static Tally save_;
  static Tally open_;
  static int save_points_;
  static int open_points_;
};

Tally CrashTest::save_;
Tally CrashTest::open_;
int CrashTest::save_points_ = 0;
int CrashTest::open_points_ = 0;

TEST_F(CrashTest, EverySavePointFailingOrCrashing) {
  for (Start start : kStarts) {
    const Expected e = ExpectedFor(start);
    ASSERT_GT(e.save_calls, 10) << Name(start);
    // One past the last call: the save is whole, then the trouble comes.
    for (int call = 1; call <= e.save_calls + 1; ++call) {
      ++save_points_;
      RunSave(start, e, call, Trouble::kFail, 0);
      RunSave(start, e, call, Trouble::kKilled, 0);
      for (uint32_t seed : kSeeds) {
        RunSave(start, e, call, Trouble::kFailThenPowerLoss, seed);
        RunSave(start, e, call, Trouble::kKilledByPowerLoss, seed);
      }
      if (HasFailure()) return;
    }
  }
  // The crashes did land both before and after the commit point.
  EXPECT_GT(save_.old_trees, 0);
  EXPECT_GT(save_.new_trees, 0);
  EXPECT_GT(save_.from_side_file, 0);
}

TEST_F(CrashTest, EveryOpenPointFailingOrCrashing) {
  for (Start start : kStarts) {
    const Expected e = ExpectedFor(start);
    ASSERT_GT(e.open_calls, 1) << Name(start);
    for (int call = 1; call <= e.open_calls; ++call) {
      ++open_points_;
      RunOpen(start, e, call, Trouble::kFail, 0);
      RunOpen(start, e, call, Trouble::kKilled, 0);
      for (uint32_t seed : kSeeds) RunOpen(start, e, call, Trouble::kKilledByPowerLoss, seed);
      if (HasFailure()) return;
    }
  }
}

}  // namespace
