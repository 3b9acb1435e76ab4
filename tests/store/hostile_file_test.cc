// Files made to hurt the reader: the registration file lives in a folder
// that other users can write, so its content (and its side file's) is
// input. Every crafted file loads without a crash, reads exactly what its
// records allow, and the memory a load takes stays in proportion to the
// file's size whatever its counts claim.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "platform/memory_file_system.h"
#include "store/coding.h"
#include "store/file_io.h"
#include "store/format.h"
#include "store/node_storage.h"
#include "store/save_protocol.h"
#include "tests/store/record_bytes.h"
#include "tests/store/side_file_util.h"
#include "tests/testing/scoped_file_system.h"
#include "tests/testing/tree_util.h"

#if !defined(_WIN32)
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

using orvo::store::CfBlockLimit;
using orvo::store::CfChildCount;
using orvo::store::CfLiveBlockBytes;
using orvo::store::CfSetBlockLimitForTesting;
using orvo::store::InspectConfigFile;
using orvo::store::LoadConfigFile;
using orvo::store::ParseNode;

namespace {

using orvo::platform::MemoryFileSystem;
using orvo::testing::File;
using orvo::testing::Leaf;
using orvo::testing::Record;

constexpr uint32_t kOpenExisting = orvo::platform::kOpenExisting;
const std::u16string kPath = u"C:\\ProgramData\\Tamsiver\\InstallApp.set";
constexpr uint8_t kBranch = 0x04;

std::vector<uint32_t> Ids(uint32_t n) {
  std::vector<uint32_t> ids(n);
  for (uint32_t i = 0; i < n; ++i) ids[i] = i + 1;
  return ids;
}

// A chain of |depth| nested keys below the root.
std::string Deep(uint32_t depth) {
  std::string body = Record(u"Root", kBranch, "", 1, {1});
  body.reserve(body.size() + size_t{depth} * 14);
  for (uint32_t i = 0; i < depth; ++i) {
    body += i + 1 < depth ? Record(u"d", kBranch, "", 1, {1}) : Leaf(u"d");
  }
  return body;
}

// |n| siblings under the root.
std::string Wide(uint32_t n) {
  std::string body = Record(u"Root", kBranch, "", static_cast<int32_t>(n), Ids(n));
  body.reserve(body.size() + size_t{n} * 10);
  for (uint32_t i = 0; i < n; ++i) body += Leaf(u"w");
  return body;
}

// |n| siblings with names of 255 units and values of 65535 bytes.
std::string Maximal(uint32_t n) {
  std::string body = Record(u"Root", kBranch, "", static_cast<int32_t>(n), Ids(n));
  for (uint32_t i = 0; i < n; ++i) {
    std::u16string name(255, static_cast<char16_t>(u'a' + i % 26));
    body += Leaf(name, std::string(65535, static_cast<char>(i)));
  }
  return body;
}

struct Case {
  const char* what;
  std::string file;
  CfFileState state;  // what the reader makes of it
  uint64_t nodes;     // records read (when it loads)
  bool complete;      // read to the end (when it loads)
};

std::vector<Case> Cases() {
  const uint32_t huge = 0x7FFFFFFF;
  std::vector<Case> c;
  c.push_back({"root claims 2^31-1 children, holds none",
               File(Record(u"Root", kBranch, "", static_cast<int32_t>(huge), {})),
               CfFileState::kBadRoot, 0, false});
  c.push_back({"a child claims 2^31-1 children",
               File(Record(u"Root", kBranch, "", 2, {1, 2}) + Leaf(u"a") +
                    Record(u"b", kBranch, "", static_cast<int32_t>(huge), {1})),
               CfFileState::kLoaded, 2, false});
  c.push_back({"negative child count", File(Record(u"Root", kBranch, "", -1, {})),
               CfFileState::kBadRoot, 0, false});
  c.push_back({"body size 4 GiB over 64 bytes", File(Leaf(u"Root"), 0xFFFFFFFF),
               CfFileState::kBodyPastEnd, 1, true});
  c.push_back({"name of 255 units in a body of 20 bytes",
               File(Record(u"Root", 0, "", 0, {}, 255) + std::string(12, 'x')),
               CfFileState::kBadRoot, 0, false});
  c.push_back(
      {"value of 65535 bytes past the end",
       File(Record(u"Root", kBranch, "", 1, {1}) + Record(u"v", 0, "abc", 0, {}, -1, 65535)),
       CfFileState::kLoaded, 1, false});
  c.push_back(
      {"names with < and >",
       File(Record(u"Root", kBranch, "", 3, {1, 2, 3}) + Leaf(u"ok") + Leaf(u"a<b") + Leaf(u"c")),
       CfFileState::kLoaded, 2, false});
  c.push_back({"names cut at NUL, backslash and slash",
               File(Record(u"Root", kBranch, "", 3, {1, 2, 3}) + Leaf(std::u16string(u"a\0b", 3)) +
                    Leaf(u"c\\d") + Leaf(u"e/f")),
               CfFileState::kLoaded, 4, true});
  c.push_back({"branch bit with no children", File(Record(u"Root", kBranch, "", 0, {})),
               CfFileState::kLoaded, 1, true});
  c.push_back({"200000 levels deep", File(Deep(200000)), CfFileState::kLoaded, 200001, true});
  c.push_back({"500000 siblings", File(Wide(500000)), CfFileState::kLoaded, 500001, true});
  c.push_back(
      {"300 maximal names and values", File(Maximal(300)), CfFileState::kLoaded, 301, true});
  c.push_back({"4 MiB of 0xFF", std::string(4 << 20, '\xFF'), CfFileState::kBadMagic, 0, false});
  return c;
}

class HostileFileTest : public ::testing::Test {
 protected:
  MemoryFileSystem fs_;
  orvo::testing::ScopedFileSystem swap_{&fs_};
};

TEST_F(HostileFileTest, CraftedFilesLoadAsFarAsTheirRecordsGo) {
  for (const Case& c : Cases()) {
    SCOPED_TRACE(c.what);
    fs_.SetFile(kPath, c.file);
    CfFileReport report;
    CfNode* inspected = nullptr;
    ASSERT_TRUE(InspectConfigFile(kPath.c_str(), &report, &inspected));
    CfTree holder(inspected);
    EXPECT_EQ(report.state, c.state);
    CfNode* root = nullptr;
    CfHeaderImage image;
    CfLoadReport load;
    ASSERT_TRUE(LoadConfigFile(kPath.c_str(), kOpenExisting, &root, &image, &load));
    CfTree loaded(root);
    ASSERT_NE(root, nullptr);
    // A body cut short is damage: its records are read as far as they go.
    if (c.state == CfFileState::kLoaded || c.state == CfFileState::kBodyPastEnd) {
      EXPECT_EQ(report.parse.nodes, c.nodes);
      EXPECT_EQ(report.parse.complete, c.complete);
      EXPECT_EQ(load.source, c.state == CfFileState::kLoaded && c.complete
                                 ? CfTreeSource::kFile
                                 : CfTreeSource::kFilePart);
    } else {
      EXPECT_EQ(load.source, CfTreeSource::kUnreadable);
      EXPECT_EQ(CfChildCount(root), 0);
    }
  }
}

// Lowers the block limit for one scope.
class SmallBlocks {
 public:
  explicit SmallBlocks(size_t bytes) : previous_(CfSetBlockLimitForTesting(bytes)) {}
  ~SmallBlocks() { CfSetBlockLimitForTesting(previous_); }

 private:
  size_t previous_;
};

// With blocks far smaller than the pieces that some files need (a table of
// 500000 entries, records of 66 KB), every file reads exactly as it does
// with blocks of a gigabyte: a piece too large for a block comes from the
// heap. So does a root whose entries alone exceed the limit by one, which is
// how a root of 2^26 + 1 children meets the 1 GiB limit in a 64-bit build.
TEST_F(HostileFileTest, PiecesTooLargeForABlockComeFromTheHeap) {
  SmallBlocks small(64 * 1024);
  std::vector<Case> cases = Cases();
  const uint32_t wide = static_cast<uint32_t>(CfBlockLimit() / sizeof(CfChildEntry)) + 1;
  cases.push_back(
      {"entries one past a block", File(Wide(wide)), CfFileState::kLoaded, wide + 1, true});
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    fs_.SetFile(kPath, c.file);
    CfNode* root = nullptr;
    CfHeaderImage image;
    CfLoadReport load;
    ASSERT_TRUE(LoadConfigFile(kPath.c_str(), kOpenExisting, &root, &image, &load));
    CfTree loaded(root);
    ASSERT_NE(root, nullptr);
    CfFileReport report;
    CfNode* inspected = nullptr;
    ASSERT_TRUE(InspectConfigFile(kPath.c_str(), &report, &inspected));
    CfTree holder(inspected);
    EXPECT_EQ(report.state, c.state);
    EXPECT_FALSE(report.parse.out_of_memory);
    if (c.state == CfFileState::kLoaded || c.state == CfFileState::kBodyPastEnd) {
      EXPECT_EQ(report.parse.nodes, c.nodes);
      EXPECT_EQ(report.parse.complete, c.complete);
      EXPECT_EQ(load.source, c.state == CfFileState::kLoaded && c.complete
                                 ? CfTreeSource::kFile
                                 : CfTreeSource::kFilePart);
    }
  }
}

// The reader reserves memory for the records it will read, not for those
// after the first it refuses: a root whose first child holds '<' or '>' (at
// any place in the name) ahead of a branch of 100000 keys (1.2 MB) takes a few
// hundred bytes of block for its tree of one key. A '<' after a NUL is past
// the name's end: that file loads whole.
TEST_F(HostileFileTest, ARefusedRecordReservesNothingForWhatFollowsIt) {
  const std::u16string names[] = {u"a<b", u"abcdefg>", u"Program<Files",
                                  std::u16string(u"ab\0<", 4)};
  for (const std::u16string& refused : names) {
    SCOPED_TRACE(std::string(refused.begin(), refused.end()));
    const bool cut = refused.find(u'\0') != std::u16string::npos;  // '<' after the name's end
    std::string body = Record(u"Root", kBranch, "", 2, {1, 2}) + Leaf(refused);
    body += Record(u"b", kBranch, "", 100000, Ids(100000));
    for (int i = 0; i < 100000; ++i) body += Leaf(u"w");
    const int64_t before = CfLiveBlockBytes();
    const uint8_t* cursor = reinterpret_cast<const uint8_t*>(body.data());
    CfParseStats stats;
    CfTree tree(ParseNode(&cursor, cursor + body.size(), &stats));
    ASSERT_NE(tree.get(), nullptr);
    EXPECT_EQ(stats.nodes, cut ? 100003u : 1u);
    EXPECT_EQ(stats.complete, cut);
    EXPECT_FALSE(stats.out_of_memory);
    if (!cut) {
      EXPECT_LT(CfLiveBlockBytes() - before, 1024);
    }
  }
}

TEST_F(HostileFileTest, TheSideFileIsReadWithTheSameCare) {
  // A file caught mid-save: the side file of a save in flight is consulted,
  // and it is input too. Only one that loads whole stands in for the file.
  const std::string caught(700, 'x');
  for (const Case& c : Cases()) {
    SCOPED_TRACE(c.what);
    // The save's first header landed, nothing of its body.
    fs_.SetFile(kPath, orvo::testing::FirstHeaderOf(c.file) + caught.substr(kCfHeaderSize));
    fs_.SetFile(kPath + kCfSideFileSuffix, orvo::testing::InFlightSideFile(c.file, caught));
    CfNode* root = nullptr;
    CfHeaderImage image;
    CfLoadReport load;
    ASSERT_TRUE(LoadConfigFile(kPath.c_str(), kOpenExisting, &root, &image, &load));
    CfTree loaded(root);
    ASSERT_NE(root, nullptr);
    const bool whole = c.state == CfFileState::kLoaded && c.complete;
    EXPECT_EQ(load.source, whole ? CfTreeSource::kSideFile : CfTreeSource::kUnreadable);
    if (whole) {
      EXPECT_EQ(std::memcmp(image.bytes, c.file.data(), kCfHeaderImageSize), 0);
    }
  }
}

#if !defined(_WIN32) && !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
// The peak memory of a load, in a child process of its own, against the
// file's size: every case stays within 32 bytes of memory per file byte
// (plus a fixed allowance), whatever its counts claim. The dearest shape is
// deep nesting: about 26 bytes per byte of 14-byte branch records.
TEST_F(HostileFileTest, MemoryStaysInProportionToTheFile) {
  for (const Case& c : Cases()) {
    SCOPED_TRACE(c.what);
    fs_.SetFile(kPath, c.file);
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      struct rusage before, after;
      getrusage(RUSAGE_SELF, &before);
      CfNode* root = nullptr;
      CfHeaderImage image;
      const bool ok = LoadConfigFile(kPath.c_str(), kOpenExisting, &root, &image);
      getrusage(RUSAGE_SELF, &after);
      const long grown_kb = after.ru_maxrss - before.ru_maxrss;
      const long allowed_kb = static_cast<long>(c.file.size() / 1024) * 32 + 32 * 1024;
      _exit(ok && root != nullptr && grown_kb <= allowed_kb ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
  }
}
#endif

}  // namespace
