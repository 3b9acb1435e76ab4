#include "store/file_io.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <memory>
#include <string>

#include "platform/memory_file_system.h"
#include "store/coding.h"
#include "store/format.h"
#include "store/save_protocol.h"
#include "tests/testing/scoped_file_system.h"
#include "tests/testing/temp_dir.h"
#include "tests/testing/tree_util.h"

using orvo::store::CfChildCount;
using orvo::store::CfChildren;
using orvo::store::CfName;
using orvo::store::DecodeFixed32;
using orvo::store::EncodeFixed32;
using orvo::store::InitNewHeaderImage;
using orvo::store::InspectConfigFile;
using orvo::store::LoadConfigFile;
using orvo::store::NewTree;
using orvo::store::ParseNode;
using orvo::store::SaveConfigFile;
using orvo::store::SerializeNode;

namespace {

using orvo::platform::File;
using orvo::platform::MemoryFileSystem;
using orvo::platform::OpenError;
using orvo::platform::OpenMode;
using orvo::platform::RealFileSystem;
using orvo::testing::AddChild;
using orvo::testing::DescribeTree;
using orvo::testing::MakeNode;
using orvo::testing::ReadWholeFile;
using orvo::testing::TempDir;
using orvo::testing::WriteWholeFile;

constexpr uint32_t kOpenExisting = orvo::platform::kOpenExisting;
constexpr uint32_t kOpenAlways = orvo::platform::kOpenAlways;

std::string Bytes(std::initializer_list<int> b) {
  std::string s;
  for (int x : b) s.push_back(static_cast<char>(x));
  return s;
}

const std::string kNewTreeBody =
    Bytes({0x04, 0, 0, 0, 0, 0, 0, 0, 0x52, 0, 0x6F, 0, 0x6F, 0, 0x74, 0});
const std::string kAppBody =
    Bytes({0x04, 0x04, 0, 0,    0x01, 0, 0, 0, 0x52, 0, 0x6F, 0,    0x6F, 0,    0x74, 0,    0xA8,
           0x05, 0,    0, 0x03, 0,    0, 0, 0, 0,    0, 0,    0x41, 0,    0x50, 0,    0x50, 0});
// Root with three child ids but only the records of the first two.
const std::string kTwoOfThreeBody =
    Bytes({0x04, 0x04, 0, 0, 3, 0, 0, 0, 'R', 0, 'o', 0, 'o', 0, 't', 0, 1, 0, 0, 0, 2, 0, 0,   0,
           3,    0,    0, 0, 1, 0, 0, 0, 0,   0, 0,   0, 'a', 0, 1,   0, 0, 0, 0, 0, 0, 0, 'b', 0});

struct HeaderSpec {
  uint32_t magic = kCfMagic;
  uint32_t version = kCfVersion;
  uint32_t mark = 2;
  uint32_t header_size = 512;
  uint32_t reserved16 = 0;
  int64_t body_size = -1;  // -1: the body's length
  int64_t checksum = -1;   // -1: the body's sum
  uint32_t reserved28 = 0;
  uint32_t mark_copy = 2;
};

uint32_t Sum(const std::string& s) {
  uint32_t sum = 0;
  for (unsigned char c : s) sum += c;
  return sum;
}

std::string FileImage(const HeaderSpec& h, const std::string& body) {
  uint8_t header[512] = {};
  EncodeFixed32(header + 0, h.magic);
  EncodeFixed32(header + 4, h.version);
  EncodeFixed32(header + 8, h.mark);
  EncodeFixed32(header + 12, h.header_size);
  EncodeFixed32(header + 16, h.reserved16);
  EncodeFixed32(header + 20, static_cast<uint32_t>(h.body_size < 0 ? body.size() : h.body_size));
  EncodeFixed32(header + 24, static_cast<uint32_t>(h.checksum < 0 ? Sum(body) : h.checksum));
  EncodeFixed32(header + 28, h.reserved28);
  EncodeFixed32(header + 508, h.mark_copy);
  return std::string(reinterpret_cast<char*>(header), 512) + body;
}

std::string NewImageBytes() {
  CfHeaderImage image;
  InitNewHeaderImage(&image);
  return std::string(reinterpret_cast<char*>(image.bytes), kCfHeaderImageSize);
}

std::string ImageBytes(const CfHeaderImage& image) {
  return std::string(reinterpret_cast<const char*>(image.bytes), kCfHeaderImageSize);
}

class FileIoTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(dir_.ok()); }

  std::u16string Path() const { return dir_.Path(u"InstallApp.set"); }
  std::string Contents() const { return ReadWholeFile(dir_.NativePath(u"InstallApp.set")); }
  void SetContents(const std::string& bytes) {
    ASSERT_TRUE(WriteWholeFile(dir_.NativePath(u"InstallApp.set"), bytes));
  }

  // Loads the file; the tree goes to tree_, the header image to image_.
  bool Load(uint32_t disposition = kOpenExisting) {
    CfNode* root = nullptr;
    const bool ok = LoadConfigFile(Path().c_str(), disposition, &root, &image_);
    tree_.reset(root);
    return ok;
  }
  bool Save(const CfHeaderImage& image) {
    CfNode* root = tree_.get();
    return SaveConfigFile(Path().c_str(), image, &root, &lock_);
  }
  bool IsNewTree() const {
    return tree_.get() != nullptr &&
           DescribeTree(tree_.get()) == "[0] Root flags=0x04 value= branch\n";
  }

  TempDir dir_;
  CfTree tree_;
  CfHeaderImage image_ = {};
  orvo::platform::RecursiveLock lock_;
};

TEST_F(FileIoTest, NewTreeSavedIsThe528ByteFile) {
  ASSERT_TRUE(Load(kOpenAlways));  // creates an empty file
  EXPECT_TRUE(IsNewTree());
  EXPECT_EQ(ImageBytes(image_), NewImageBytes());
  EXPECT_EQ(Contents(), "");
  ASSERT_TRUE(Save(image_));
  std::string expected(512, '\0');
  const std::string fields =
      Bytes({0x4C, 0x46, 0x46, 0x43, 0x05, 0x00, 0x01, 0x00, 2, 0, 0,    0,    0x00, 0x02,
             0,    0,    0,    0,    0,    0,    16,   0,    0, 0, 0xA8, 0x01, 0,    0});
  expected.replace(0, fields.size(), fields);
  expected[508] = 2;
  EXPECT_EQ(Contents(), expected + kNewTreeBody);

  ASSERT_TRUE(Load());
  EXPECT_EQ(DescribeTree(tree_.get()), "[0] Root flags=0x00 value= leaf\n");
  EXPECT_EQ(ImageBytes(image_), expected.substr(0, 32));
}

TEST_F(FileIoTest, TreeWithOneKey) {
  ASSERT_TRUE(Load(kOpenAlways));
  ASSERT_TRUE(AddChild(tree_.get(), MakeNode(u"APP", 0, "", true)));
  ASSERT_TRUE(Save(image_));
  const std::string file = Contents();
  ASSERT_EQ(file.size(), 512u + 34);
  EXPECT_EQ(file.substr(512), kAppBody);
  EXPECT_EQ(DecodeFixed32(reinterpret_cast<const uint8_t*>(file.data()) + 20), 34u);
  EXPECT_EQ(DecodeFixed32(reinterpret_cast<const uint8_t*>(file.data()) + 24), 0x33Eu);
  const std::string before = DescribeTree(tree_.get());
  ASSERT_TRUE(Load());
  EXPECT_EQ(DescribeTree(tree_.get()),
            "[0] Root flags=0x04 value= branch\n  [1448] APP flags=0x00 value= leaf\n");
  EXPECT_NE(before, "");
}

TEST_F(FileIoTest, MissingFile) {
  EXPECT_FALSE(Load(kOpenExisting));
  EXPECT_TRUE(ReadWholeFile(dir_.NativePath(u"InstallApp.set")).empty());
  CfFileReport report;
  EXPECT_FALSE(InspectConfigFile(Path().c_str(), &report, nullptr));
  EXPECT_FALSE(report.opened);
  EXPECT_EQ(report.open_error, OpenError::kNotFound);
  EXPECT_FALSE(Load(orvo::platform::kOpenExisting + 100));  // no such disposition
}

struct UnusableCase {
  const char* what;
  std::string file;
  CfFileState state;
};

TEST_F(FileIoTest, UnusableFilesOpenAsNewTrees) {
  HeaderSpec interrupted;
  interrupted.mark = 1;
  interrupted.mark_copy = 0;
  HeaderSpec magic;
  magic.magic = 0x4346464D;
  HeaderSpec newer;
  newer.version = 0x10006;
  HeaderSpec no_body;
  no_body.body_size = 0;
  const UnusableCase cases[] = {
      {"empty", "", CfFileState::kEmpty},
      {"short header", FileImage({}, kAppBody).substr(0, 100), CfFileState::kShortHeader},
      {"interrupted save", FileImage(interrupted, kAppBody), CfFileState::kNotCommitted},
      {"wrong magic", FileImage(magic, kAppBody), CfFileState::kBadMagic},
      {"newer version", FileImage(newer, kAppBody), CfFileState::kBadVersion},
      {"body size 0", FileImage(no_body, kAppBody), CfFileState::kNoBody},
      {"root unreadable", FileImage({}, "Root"), CfFileState::kBadRoot},
  };
  for (const UnusableCase& c : cases) {
    SCOPED_TRACE(c.what);
    SetContents(c.file);
    ASSERT_TRUE(Load());
    EXPECT_TRUE(IsNewTree());
    EXPECT_EQ(ImageBytes(image_), NewImageBytes());
    EXPECT_EQ(Contents(), c.file);  // reading never writes
    CfFileReport report;
    CfNode* root = reinterpret_cast<CfNode*>(&report);
    ASSERT_TRUE(InspectConfigFile(Path().c_str(), &report, &root));
    EXPECT_EQ(report.state, c.state);
    EXPECT_EQ(root, nullptr);
    EXPECT_EQ(report.file_size, c.file.size());
  }
}

// A damaged body is not foreign content: what still parses of it is the
// tree (the file does not load whole, so a save keeps its bytes first).
TEST_F(FileIoTest, DamagedBodiesKeepTheRecordsThatParse) {
  HeaderSpec bad_sum;
  bad_sum.checksum = 0x33F;
  HeaderSpec past_end;
  past_end.body_size = 35;
  HeaderSpec huge;
  huge.body_size = 0xFFFFFFFF;
  std::string flipped = FileImage({}, kAppBody);
  flipped[kCfHeaderSize + 30] ^= 0x20;  // "APP" becomes "ApP": the sum no longer matches
  const struct {
    const char* what;
    std::string file;
    CfFileState state;
    const char16_t* child;
  } cases[] = {
      {"wrong checksum", FileImage(bad_sum, kAppBody), CfFileState::kBadChecksum, u"APP"},
      {"one flipped byte", flipped, CfFileState::kBadChecksum, u"ApP"},
      {"body size one past the end", FileImage(past_end, kAppBody), CfFileState::kBodyPastEnd,
       u"APP"},
      {"body size far past the end", FileImage(huge, kAppBody), CfFileState::kBodyPastEnd, u"APP"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    SetContents(c.file);
    CfNode* root = nullptr;
    CfLoadReport load;
    ASSERT_TRUE(LoadConfigFile(Path().c_str(), kOpenExisting, &root, &image_, &load));
    CfTree holder(root);
    EXPECT_EQ(load.file.state, c.state);
    EXPECT_FALSE(load.file.whole());
    EXPECT_EQ(load.source, CfTreeSource::kFilePart);
    ASSERT_EQ(CfChildCount(root), 1);
    const CfNode* child = CfChildren(root)->entries[0].child;
    EXPECT_EQ(std::u16string(CfName(child), child->name_length), c.child);
    EXPECT_EQ(Contents(), c.file);  // reading never writes
  }
}

TEST_F(FileIoTest, OlderVersionsLoadWithoutTheChecksumTest) {
  HeaderSpec old;
  old.version = 0x10004;
  old.checksum = 0x1234;
  old.header_size = 1000;  // ignored: the body starts at 512 whatever it says
  old.reserved16 = 0x16161616;
  old.reserved28 = 0x28282828;
  SetContents(FileImage(old, kAppBody));
  ASSERT_TRUE(Load());
  EXPECT_EQ(CfChildCount(tree_.get()), 1);
  EXPECT_EQ(ImageBytes(image_), Contents().substr(0, 32));
  CfFileReport report;
  ASSERT_TRUE(InspectConfigFile(Path().c_str(), &report, nullptr));
  EXPECT_EQ(report.state, CfFileState::kLoaded);
  EXPECT_FALSE(report.checksum_tested);
  EXPECT_EQ(report.checksum_computed, 0x33Eu);
  EXPECT_FALSE(report.checksum_ok());

  // Written back as the current version, with the image's fields at 12, 16, 28.
  ASSERT_TRUE(Save(image_));
  HeaderSpec expected;
  expected.header_size = 1000;
  expected.reserved16 = 0x16161616;
  expected.reserved28 = 0x28282828;
  EXPECT_EQ(Contents(), FileImage(expected, kAppBody));

  // The same wrong checksum under the current version is damage: the tree
  // is what parses, and the file does not load whole.
  old.version = kCfVersion;
  SetContents(FileImage(old, kAppBody));
  ASSERT_TRUE(InspectConfigFile(Path().c_str(), &report, nullptr));
  EXPECT_EQ(report.state, CfFileState::kBadChecksum);
  EXPECT_FALSE(report.whole());
}

TEST_F(FileIoTest, NewerVersionIsNeverWritten) {
  HeaderSpec newer;
  newer.version = 0x10006;
  const std::string file = FileImage(newer, kAppBody);
  SetContents(file);
  ASSERT_TRUE(Load());
  EXPECT_TRUE(IsNewTree());
  // A newer program's file is not this version's to replace.
  EXPECT_FALSE(Save(image_));
  EXPECT_EQ(Contents(), file);
  // Not committed, it is a save of that program cut short: not refused.
  newer.mark = 1;
  SetContents(FileImage(newer, kAppBody));
  ASSERT_TRUE(Load());
  EXPECT_TRUE(Save(image_));
  CfFileReport report;
  ASSERT_TRUE(InspectConfigFile(Path().c_str(), &report, nullptr));
  EXPECT_EQ(report.state, CfFileState::kLoaded);
}

TEST_F(FileIoTest, CutChildListKeepsTheChildrenRead) {
  HeaderSpec old;
  old.version = 0x10004;
  SetContents(FileImage(old, kTwoOfThreeBody));
  ASSERT_TRUE(Load());
  EXPECT_EQ(DescribeTree(tree_.get()),
            "[0] Root flags=0x04 value= branch\n"
            "  [1] a flags=0x00 value= leaf\n"
            "  [2] b flags=0x00 value= leaf\n");
  CfFileReport report;
  ASSERT_TRUE(InspectConfigFile(Path().c_str(), &report, nullptr));
  EXPECT_EQ(report.parse.nodes, 3u);
  EXPECT_FALSE(report.parse.complete);
  EXPECT_EQ(report.parsed_bytes, kTwoOfThreeBody.size());
}

TEST_F(FileIoTest, ShorterBodyLeavesTheOldTail) {
  ASSERT_TRUE(Load(kOpenAlways));
  for (int i = 0; i < 10; ++i) {
    ASSERT_TRUE(AddChild(tree_.get(),
                         MakeNode(u"k" + std::u16string(1, u'0' + i), CfTypeString, "some value")));
  }
  ASSERT_TRUE(Save(image_));
  const std::string long_file = Contents();
  tree_.reset(NewTree());
  ASSERT_TRUE(Save(image_));
  const std::string short_file = Contents();
  ASSERT_EQ(short_file.size(), long_file.size());
  EXPECT_EQ(short_file.substr(512, 16), kNewTreeBody);
  EXPECT_EQ(short_file.substr(528), long_file.substr(528));
  ASSERT_TRUE(Load());
  EXPECT_EQ(DescribeTree(tree_.get()), "[0] Root flags=0x00 value= leaf\n");
}

TEST_F(FileIoTest, FileHeldByAnotherHandle) {
  SetContents(FileImage({}, kAppBody));
  const std::string before = Contents();
  ASSERT_TRUE(Load());
  OpenError error;
  {
    std::unique_ptr<File> writer(RealFileSystem()->Open(Path().c_str(), OpenMode::kReadWrite,
                                                        orvo::platform::kOpenExisting, &error));
    ASSERT_TRUE(writer);
    EXPECT_FALSE(Save(image_));
    CfNode* root = nullptr;
    CfHeaderImage image;
    EXPECT_FALSE(LoadConfigFile(Path().c_str(), kOpenExisting, &root, &image));
  }
  {
    std::unique_ptr<File> reader(RealFileSystem()->Open(Path().c_str(), OpenMode::kRead,
                                                        orvo::platform::kOpenExisting, &error));
    ASSERT_TRUE(reader);
    EXPECT_FALSE(Save(image_));
  }
  EXPECT_EQ(Contents(), before);
  EXPECT_TRUE(Save(image_));
}

TEST_F(FileIoTest, MillionLevelsDeep) {
  constexpr int kDepth = 1000000;
  ASSERT_TRUE(Load(kOpenAlways));
  CfNode* cur = tree_.get();
  for (int i = 0; i < kDepth; ++i) cur = AddChild(cur, MakeNode(u"d", 0, "", true));
  ASSERT_TRUE(cur);
  ASSERT_TRUE(Save(image_));
  ASSERT_TRUE(Load());
  CfFileReport report;
  ASSERT_TRUE(InspectConfigFile(Path().c_str(), &report, nullptr));
  EXPECT_EQ(report.state, CfFileState::kLoaded);
  EXPECT_EQ(report.parse.nodes, kDepth + 1u);
  EXPECT_TRUE(report.parse.complete);
  int depth = 0;
  for (const CfNode* n = tree_.get(); CfChildCount(n) > 0; n = CfChildren(n)->entries[0].child) {
    ++depth;
  }
  EXPECT_EQ(depth, kDepth);
}

TEST_F(FileIoTest, InspectReportsTheHeader) {
  SetContents(FileImage({}, kAppBody) + "tail");
  CfFileReport report;
  CfNode* root = nullptr;
  ASSERT_TRUE(InspectConfigFile(Path().c_str(), &report, &root));
  CfTree holder(root);
  ASSERT_TRUE(root);
  EXPECT_EQ(report.state, CfFileState::kLoaded);
  EXPECT_EQ(report.file_size, 512u + 34 + 4);
  EXPECT_EQ(report.header.magic, kCfMagic);
  EXPECT_EQ(report.header.version, kCfVersion);
  EXPECT_EQ(report.header.body_size, 34u);
  EXPECT_EQ(report.header.checksum, 0x33Eu);
  EXPECT_TRUE(report.committed());
  EXPECT_TRUE(report.checksum_tested);
  EXPECT_TRUE(report.checksum_ok());
  EXPECT_EQ(report.parse.nodes, 2u);
  EXPECT_EQ(report.parsed_bytes, 34u);
}

// The tree that reading |body| gives, described.
std::string AsRead(const std::string& body) {
  const uint8_t* cursor = reinterpret_cast<const uint8_t*>(body.data());
  CfTree tree(ParseNode(&cursor, cursor + body.size()));
  return tree.get() == nullptr ? "" : DescribeTree(tree.get());
}

// Failures injected into the file calls.
class FileIoFaultTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs_.SetFile(kPath, FileImage({}, kAppBody));
    CfNode* root = nullptr;
    ASSERT_TRUE(LoadConfigFile(kPath, kOpenExisting, &root, &image_));
    tree_.reset(root);
    ASSERT_TRUE(AddChild(tree_.get(), MakeNode(u"Widget", 0, "", true)));
    fs_.counts = MemoryFileSystem::Counts();
  }

  bool Save() {
    CfNode* root = tree_.get();
    return SaveConfigFile(kPath, image_, &root, nullptr);
  }
  CfFileState StateNow() {
    CfFileReport report;
    EXPECT_TRUE(InspectConfigFile(kPath, &report, nullptr));
    return report.state;
  }
  std::string Contents() {
    std::string s;
    fs_.GetFile(kPath, &s);
    return s;
  }

  static constexpr const char16_t* kPath = u"C:\\ProgramData\\Tamsiver\\InstallApp.set";
  static constexpr const char16_t* kSide = u"C:\\ProgramData\\Tamsiver\\InstallApp.set.new";
  MemoryFileSystem fs_;
  orvo::testing::ScopedFileSystem swap_{&fs_};
  CfTree tree_;
  CfHeaderImage image_;
};

TEST_F(FileIoFaultTest, OneReadOfTheBodyAndOneWriteOfIt) {
  ASSERT_TRUE(Save());
  // Nothing known of the file: its head, then all of it, is read to see
  // that it is whole. Side file: header and trailer, base bytes, script and
  // seal, flushed; the file: first header, body, final header, flushed; then
  // the side file's save is marked finished, flushed. Three flushes.
  EXPECT_EQ(fs_.counts.reads, 3);
  EXPECT_EQ(fs_.counts.writes, 7);
  EXPECT_EQ(fs_.counts.flushes, 3);
  fs_.counts = MemoryFileSystem::Counts();
  CfNode* root = nullptr;
  CfFileFingerprint memory;
  ASSERT_TRUE(LoadConfigFile(kPath, kOpenExisting, &root, &image_, nullptr, &memory));
  CfTree holder(root);
  // Header and body; of the side file its header and the trailer's start
  // only (one read), to see that its save finished.
  EXPECT_EQ(fs_.counts.reads, 3);
  EXPECT_EQ(fs_.counts.opens, 2);
  EXPECT_EQ(CfChildCount(root), 2);
  // A save that knows the file as it is reads the bytes it overwrites once
  // and the side file's header and state, and parses nothing.
  fs_.counts = MemoryFileSystem::Counts();
  ASSERT_TRUE(SaveConfigFile(kPath, image_, &root, nullptr, &memory));
  EXPECT_EQ(fs_.counts.reads, 2);
  EXPECT_EQ(fs_.counts.flushes, 3);
}

TEST_F(FileIoFaultTest, FailedSaves) {
  const std::string before = Contents();
  const std::string old_tree = AsRead(before.substr(kCfHeaderSize));
  std::string new_body(SerializeNode(tree_.get(), nullptr), '\0');
  uint8_t* out = reinterpret_cast<uint8_t*>(&new_body[0]);
  ASSERT_EQ(SerializeNode(tree_.get(), &out), new_body.size());
  const std::string new_tree = AsRead(new_body);
  ASSERT_NE(old_tree, new_tree);
  struct Case {
    const char* what;
    MemoryFileSystem::Faults faults;
    CfTreeSource next;  // where the next open reads from: the old file, the
                        // side file (the file is mid-save) or the new file
  } cases[] = {
      {"open", {true, false, 0, 0, 0, 0, 0}, CfTreeSource::kFile},
      {"size", {false, true, 0, 0, 0, 0, 0}, CfTreeSource::kFile},
      {"seek to read the head", {false, false, 0, 0, 0, 1, 0}, CfTreeSource::kFile},
      {"head read", {false, false, 1, 0, 0, 0, 0}, CfTreeSource::kFile},
      {"body read", {false, false, 3, 0, 0, 0, 0}, CfTreeSource::kFile},
      {"side file header and trailer write", {false, false, 0, 1, 0, 0, 0}, CfTreeSource::kFile},
      {"short side file base bytes write", {false, false, 0, 0, 2, 0, 0}, CfTreeSource::kFile},
      {"side file base bytes write", {false, false, 0, 2, 0, 0, 0}, CfTreeSource::kFile},
      {"side file script and seal write", {false, false, 0, 3, 0, 0, 0}, CfTreeSource::kFile},
      {"side file flush", {false, false, 0, 0, 0, 0, 1}, CfTreeSource::kFile},
      {"first seek", {false, false, 0, 0, 0, 4, 0}, CfTreeSource::kFile},
      // A write that fails having written nothing leaves the file as it
      // was, and it is read; one that may have written part leaves the
      // side file to stand in.
      {"first header write", {false, false, 0, 4, 0, 0, 0}, CfTreeSource::kFile},
      {"body write", {false, false, 0, 5, 0, 0, 0}, CfTreeSource::kSideFile},
      {"short body write", {false, false, 0, 0, 5, 0, 0}, CfTreeSource::kSideFile},
      {"second seek", {false, false, 0, 0, 0, 5, 0}, CfTreeSource::kSideFile},
      {"final header write", {false, false, 0, 6, 0, 0, 0}, CfTreeSource::kSideFile},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    fs_.SetFile(kPath, before);
    fs_.Remove(kSide);
    fs_.counts = MemoryFileSystem::Counts();
    fs_.faults = c.faults;
    EXPECT_FALSE(Save());
    fs_.faults = MemoryFileSystem::Faults();
    if (c.next == CfTreeSource::kFile || c.faults.fail_write_call == 4) {
      EXPECT_EQ(Contents(), before);
    } else {
      EXPECT_EQ(StateNow(), CfFileState::kNotCommitted);
    }
    // Either way the next open reads a whole tree: the old one from the
    // file, or the new one from the side file.
    CfNode* root = nullptr;
    CfHeaderImage image;
    CfLoadReport load;
    ASSERT_TRUE(LoadConfigFile(kPath, kOpenExisting, &root, &image, &load));
    CfTree holder(root);
    EXPECT_EQ(load.source, c.next);
    EXPECT_EQ(DescribeTree(root), c.next == CfTreeSource::kFile ? old_tree : new_tree);
  }
  // A flush of the file, a write or a flush of the finished mark that
  // fails after every write of the file: the save is not reported done,
  // though the file reads as the new tree, from itself: it is the save's
  // whole image.
  for (const auto& faults : {MemoryFileSystem::Faults{false, false, 0, 0, 0, 0, 2},
                             MemoryFileSystem::Faults{false, false, 0, 7, 0, 0, 0},
                             MemoryFileSystem::Faults{false, false, 0, 0, 0, 0, 3}}) {
    fs_.SetFile(kPath, before);
    fs_.Remove(kSide);
    fs_.counts = MemoryFileSystem::Counts();
    fs_.faults = faults;
    EXPECT_FALSE(Save());
    fs_.faults = MemoryFileSystem::Faults();
    EXPECT_EQ(AsRead(Contents().substr(kCfHeaderSize)), new_tree);
    CfNode* root = nullptr;
    CfHeaderImage image;
    CfLoadReport load;
    ASSERT_TRUE(LoadConfigFile(kPath, kOpenExisting, &root, &image, &load));
    CfTree holder(root);
    EXPECT_EQ(load.source, CfTreeSource::kFile);
    EXPECT_EQ(DescribeTree(root), new_tree);
  }
  // A tree that cannot be serialised leaves the file alone.
  fs_.SetFile(kPath, before);
  CfNode* none = nullptr;
  EXPECT_FALSE(SaveConfigFile(kPath, image_, &none, nullptr));
  EXPECT_EQ(Contents(), before);
}

TEST_F(FileIoFaultTest, FailedReads) {
  CfNode* root = nullptr;
  fs_.faults.fail_size = true;
  EXPECT_FALSE(LoadConfigFile(kPath, kOpenExisting, &root, &image_));
  fs_.faults = MemoryFileSystem::Faults();
  // A read that fails is no verdict on the content: the open fails, so
  // that nothing saves a new tree over a file that may be whole.
  for (int call = 1; call <= 2; ++call) {
    fs_.counts = MemoryFileSystem::Counts();
    fs_.faults.fail_read_call = call;
    CfLoadReport load;
    EXPECT_FALSE(LoadConfigFile(kPath, kOpenExisting, &root, &image_, &load));
    EXPECT_TRUE(load.read_failed);
  }
  fs_.counts = MemoryFileSystem::Counts();
  fs_.faults.fail_read_call = 2;
  CfFileReport report;
  ASSERT_TRUE(InspectConfigFile(kPath, &report, nullptr));
  EXPECT_EQ(report.state, CfFileState::kReadError);
}

}  // namespace
