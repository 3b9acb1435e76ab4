// Companion files in a folder where every account may create files: a side
// file is believed only when no account that may not write the file could
// have made or changed it, companions are made with the file's access, and
// a name in the way fails the save, saying which, without waiting.
//
// The tables run on the in-memory file system (the POSIX rules of owner,
// group and bits, and a sticky folder); the last tests do the same on the
// real one, as root with a child process as nobody.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "platform/file_failure.h"
#include "platform/memory_file_system.h"
#include "store/config_file.h"
#include "store/key.h"
#include "store/ref.h"
#include "store/save_protocol.h"
#include "tests/store/side_file_util.h"
#include "tests/testing/scoped_file_system.h"

#if !defined(_WIN32)
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

#include "tests/testing/as_nobody.h"
#include "tests/testing/temp_dir.h"
#endif

using orvo::store::CfCompanionSuffix;
using orvo::store::CfLastSaveObstacle;
using orvo::store::CreateConfigFile;
using orvo::store::ExamineConfigFile;
using orvo::store::FreeNodeTree;

namespace {

using orvo::platform::CompanionTrust;
using orvo::platform::FileFailure;
using orvo::platform::MemoryFileSystem;
using orvo::platform::PosixAccess;

constexpr uint32_t kRoot = 0;
constexpr uint32_t kNobody = 65534;
constexpr uint32_t kUser = 1001;
constexpr uint32_t kOpenExisting = orvo::platform::kOpenExisting;
constexpr uint32_t kOpenAlways = orvo::platform::kOpenAlways;

// Adds the keys |names| (comma-separated) to the file at |path| and saves.
bool AddKeys(const std::u16string& path, const std::u16string& names) {
  auto file = CfRef<CConfigFile>::Adopt(CreateConfigFile(path.c_str(), kOpenAlways));
  if (!file) return false;
  size_t from = 0;
  while (from <= names.size()) {
    size_t comma = names.find(u',', from);
    if (comma == std::u16string::npos) comma = names.size();
    auto key = CfRef<ICfKey>::Adopt(file->OpenKey(names.substr(from, comma - from).c_str(), true));
    if (!key) return false;
    from = comma + 1;
  }
  return file->Save(nullptr);
}

// Whether the file at |path| loads with a root child named |name|.
bool HasKey(const std::u16string& path, const char16_t* name) {
  auto file = CfRef<CConfigFile>::Adopt(CreateConfigFile(path.c_str(), kOpenExisting));
  if (!file) return false;
  auto key = CfRef<ICfKey>::Adopt(file->OpenKey(name, false));
  return static_cast<bool>(key);
}

class OtherAccountsTest : public ::testing::Test {
 protected:
  PosixAccess Access(const std::u16string& suffix) {
    PosixAccess a;
    EXPECT_TRUE(fs_.GetAccess(kPath + suffix, &a)) << "no file with the suffix";
    return a;
  }
  std::string Bytes(const std::u16string& suffix = u"") {
    std::string b;
    fs_.GetFile(kPath + suffix, &b);
    return b;
  }
  // The image of a tree with the keys |names|, made on a scratch path.
  std::string ImageOf(const std::u16string& names) {
    EXPECT_TRUE(AddKeys(u"/scratch", names));
    std::string b;
    fs_.GetFile(u"/scratch", &b);
    fs_.Remove(u"/scratch");
    fs_.Remove(u"/scratch.new");
    return b;
  }
  // F as a save of the keys |names| caught writing leaves it (the first
  // header, then the new body: it does not load whole), and that save's
  // side file, in flight, made by |maker| with |mode|.
  void PlantTornSave(const std::u16string& names, uint32_t maker, uint32_t mode) {
    const std::string base = Bytes();
    const std::string image = ImageOf(names);
    fs_.SetFile(kPath + kCfSideFileSuffix, orvo::testing::InFlightSideFile(image, base));
    fs_.SetAccess(kPath + kCfSideFileSuffix, {maker, maker, mode, true});
    std::string torn = orvo::testing::FirstHeaderOf(image) + image.substr(kCfHeaderSize);
    if (torn.size() < base.size()) torn += base.substr(torn.size());
    fs_.SetFile(kPath, torn);
  }

  const std::u16string kPath = u"/shared/InstallApp.set";
  MemoryFileSystem fs_;
  orvo::testing::ScopedFileSystem swap_{&fs_};
};

// Who made a side file in flight beside a torn F decides whether it stands
// in for F: never when an account that may not write F could have made or
// changed it, whatever its bytes. An untrusted one is never read and the
// next save replaces it with one of its own, made with F's access.
TEST_F(OtherAccountsTest, OnlyATrustedSideFileStandsInForTheFile) {
  const struct {
    const char* name;
    uint32_t f_owner, f_mode;
    uint32_t maker, side_mode;
    uint32_t reader;
    bool used;
    CompanionTrust trust;
    bool saves;  // the reader may replace the side file
  } cases[] = {
      {"root's beside root's file", kRoot, 0644, kRoot, 0644, kRoot, true, CompanionTrust::kTrusted,
       true},
      {"planted by nobody", kRoot, 0644, kNobody, 0644, kRoot, false, CompanionTrust::kForeignOwner,
       true},
      {"planted by nobody, the file writable by all", kRoot, 0666, kNobody, 0666, kRoot, false,
       CompanionTrust::kForeignOwner, true},
      {"root's, but writable by all", kRoot, 0644, kRoot, 0666, kRoot, false,
       CompanionTrust::kWritableByOthers, true},
      {"the file's owner's", kNobody, 0644, kNobody, 0644, kRoot, true, CompanionTrust::kTrusted,
       true},
      {"the reader's own", kRoot, 0666, kUser, 0644, kUser, true, CompanionTrust::kTrusted, true},
      // The user may not remove nobody's file from the sticky folder: the
      // save fails, saying that the side file is in the way.
      {"nobody's, read by another user", kRoot, 0666, kNobody, 0644, kUser, false,
       CompanionTrust::kForeignOwner, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fs_ = MemoryFileSystem();
    fs_.account = {kRoot, kRoot};
    ASSERT_TRUE(AddKeys(kPath, u"Mine"));
    fs_.Remove((kPath + kCfSideFileSuffix).c_str());
    fs_.SetAccess(kPath, {c.f_owner, c.f_owner, c.f_mode, true});
    PlantTornSave(u"Mine,Intruder", c.maker, c.side_mode);
    fs_.account = {c.reader, c.reader};

    CfLoadReport report;
    CfNode* tree = nullptr;
    ASSERT_TRUE(ExamineConfigFile(kPath.c_str(), &report, &tree));
    if (tree != nullptr) FreeNodeTree(tree, nullptr);
    EXPECT_EQ(report.source == CfTreeSource::kSideFile, c.used);
    EXPECT_EQ(report.side, c.used ? CfSideState::kInFlight : CfSideState::kUntrusted);
    EXPECT_EQ(report.side_trust, c.trust);

    // The next save keeps what F itself holds (the records that parse) and
    // writes a side file of its own over the planted one.
    const std::string torn = Bytes();
    orvo::platform::SetLastFileFailure(FileFailure::kNone);
    if (!c.saves) {
      EXPECT_FALSE(AddKeys(kPath, u"Later"));
      EXPECT_EQ(orvo::platform::LastFileFailure(), FileFailure::kNameInTheWay);
      EXPECT_EQ(Bytes(), torn);
      continue;
    }
    ASSERT_TRUE(AddKeys(kPath, u"Later"));
    EXPECT_EQ(HasKey(kPath, u"Intruder"), c.used);
    EXPECT_TRUE(HasKey(kPath, u"Later"));
    const PosixAccess side = Access(kCfSideFileSuffix);
    if (!c.used) {
      EXPECT_EQ(side.uid, c.reader);
      EXPECT_EQ(side.mode, c.f_mode) << "made with the file's bits";
    }
  }
}

// A name that holds what a save may neither use nor replace fails the save
// with kNameInTheWay, naming the companion; F keeps its bytes and the save
// never waits on the name.
TEST_F(OtherAccountsTest, NamesInTheWayFailTheSaveAndSaySo) {
  enum class Plant { kFolder, kPipe, kForeignFile };
  const struct {
    const char* name;
    const char16_t* suffix;
    Plant plant;
    bool damaged;    // F does not load whole: the save keeps it first
    uint32_t saver;  // who saves (F is root's, writable by all)
  } cases[] = {
      {"a folder at the side file", kCfSideFileSuffix, Plant::kFolder, false, kRoot},
      {"a pipe at the side file", kCfSideFileSuffix, Plant::kPipe, false, kUser},
      {"a folder at the kept copy", kCfKeptCopySuffix, Plant::kFolder, true, kRoot},
      {"nobody's side file, a user saves", kCfSideFileSuffix, Plant::kForeignFile, false, kUser},
      {"nobody's kept copy, a user saves", kCfKeptCopySuffix, Plant::kForeignFile, true, kUser},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fs_ = MemoryFileSystem();
    ASSERT_TRUE(AddKeys(kPath, u"Mine"));
    fs_.Remove((kPath + kCfSideFileSuffix).c_str());
    fs_.SetAccess(kPath, {kRoot, kRoot, 0666, true});
    if (c.damaged) {
      std::string bytes = Bytes();
      bytes[kCfHeaderSize] ^= 0x40;  // the checksum no longer matches
      fs_.SetFile(kPath, bytes);
      fs_.SetAccess(kPath, {kRoot, kRoot, 0666, true});
    }
    switch (c.plant) {
      case Plant::kFolder:
        fs_.PlantNonFile(kPath + c.suffix, MemoryFileSystem::NonFile::kFolder, kNobody);
        break;
      case Plant::kPipe:
        fs_.PlantNonFile(kPath + c.suffix, MemoryFileSystem::NonFile::kPipe, kNobody);
        break;
      case Plant::kForeignFile:
        fs_.SetFile(kPath + c.suffix, "planted");
        fs_.SetAccess(kPath + c.suffix, {kNobody, kNobody, 0644, true});
        break;
    }
    const std::string before = Bytes();
    fs_.account = {c.saver, c.saver};
    fs_.counts = MemoryFileSystem::Counts();
    orvo::platform::SetLastFileFailure(FileFailure::kNone);
    EXPECT_FALSE(AddKeys(kPath, u"Later"));
    EXPECT_EQ(orvo::platform::LastFileFailure(), FileFailure::kNameInTheWay);
    EXPECT_EQ(CfCompanionSuffix(CfLastSaveObstacle()), std::u16string(c.suffix));
    EXPECT_EQ(Bytes(), before);
    EXPECT_EQ(fs_.counts.pauses, 0) << "waited on a name in the way";
  }
}

// Companions take F's access: with F writable by every account, a user's
// save follows an administrator's, also after an older save left a side
// file with its maker's default bits (the next save that may gives it F's).
TEST_F(OtherAccountsTest, EveryAccountThatMayWriteTheFileMayWriteItsCompanions) {
  fs_.create_mode = 0644;
  ASSERT_TRUE(AddKeys(kPath, u"A"));
  fs_.SetAccess(kPath, {kRoot, kRoot, 0666, true});
  fs_.SetAccess(kPath + kCfSideFileSuffix, {kRoot, kRoot, 0644, true});  // as an old save left it
  ASSERT_TRUE(AddKeys(kPath, u"B"));
  EXPECT_EQ(Access(kCfSideFileSuffix).mode, 0666u);

  fs_.account = {kUser, kUser};
  ASSERT_TRUE(AddKeys(kPath, u"C"));
  // A damaged F, saved by the user: the kept copy has F's access too.
  std::string bytes = Bytes();
  bytes[kCfHeaderSize] ^= 0x40;
  fs_.account = {kRoot, kRoot};
  fs_.SetFile(kPath, bytes);
  fs_.SetAccess(kPath, {kRoot, kRoot, 0666, true});
  fs_.account = {kUser, kUser};
  ASSERT_TRUE(AddKeys(kPath, u"D"));
  EXPECT_EQ(Access(kCfKeptCopySuffix).mode, 0666u);
  fs_.account = {kRoot, kRoot};
  ASSERT_TRUE(AddKeys(kPath, u"E"));
  EXPECT_TRUE(HasKey(kPath, u"D"));
}

#if !defined(_WIN32)
using orvo::testing::AsNobody;

class OtherAccountsOnDiskTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "needs root, to act as two accounts";
    ASSERT_TRUE(dir_.ok());
    ASSERT_EQ(chmod(dir_.NativePath(u"").c_str(), 01777), 0);
    path_ = dir_.Path(u"InstallApp.set");
  }
  std::string Native(const std::u16string& suffix = u"") const {
    return std::string(dir_.NativePath(u"InstallApp.set").string()) +
           std::string(suffix.begin(), suffix.end());
  }

  orvo::testing::TempDir dir_;
  std::u16string path_;
};

// Root's file, a torn save of root's, and the side file of that save as
// nobody planted it (a copy of root's own): root's next open and save never
// read it, and nobody's tree never reaches root's file. The same bytes made
// by root stand in for the file, as a crash leaves them.
TEST_F(OtherAccountsOnDiskTest, APlantedSideFileNeverReachesTheFile) {
  for (bool planted : {false, true}) {
    SCOPED_TRACE(planted ? "planted by nobody" : "left by root's own save");
    ASSERT_TRUE(AddKeys(path_, u"Mine"));
    ASSERT_EQ(chmod(Native().c_str(), 0644), 0);
    const std::string base = orvo::testing::ReadWholeFile(Native());
    ASSERT_TRUE(AddKeys(dir_.Path(u"scratch"), u"Mine,Intruder"));
    const std::string image = orvo::testing::ReadWholeFile(dir_.NativePath(u"scratch"));
    const std::string side = orvo::testing::InFlightSideFile(image, base);
    std::remove(Native(kCfSideFileSuffix).c_str());
    if (planted) {
      ASSERT_EQ(AsNobody([&] {
                  return orvo::testing::WriteWholeFile(Native(kCfSideFileSuffix), side) ? 0 : 1;
                }),
                0);
    } else {
      ASSERT_TRUE(orvo::testing::WriteWholeFile(Native(kCfSideFileSuffix), side));
    }
    std::string torn = orvo::testing::FirstHeaderOf(image) + image.substr(kCfHeaderSize);
    ASSERT_TRUE(orvo::testing::WriteWholeFile(Native(), torn));

    CfLoadReport report;
    ASSERT_TRUE(ExamineConfigFile(path_.c_str(), &report, nullptr));
    EXPECT_EQ(report.source == CfTreeSource::kSideFile, !planted);
    EXPECT_EQ(report.side, planted ? CfSideState::kUntrusted : CfSideState::kInFlight);
    // The planter may still hold the file it made: the save must not write
    // into that file but replace it.
    const int held = open(Native(kCfSideFileSuffix).c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(held, 0);
    ASSERT_TRUE(AddKeys(path_, u"Later"));
    EXPECT_EQ(HasKey(path_, u"Intruder"), !planted);
    struct stat st;
    ASSERT_EQ(fstat(held, &st), 0);
    EXPECT_EQ(st.st_nlink, planted ? 0u : 1u) << "a planted side file is replaced, not reused";
    close(held);
    ASSERT_EQ(stat(Native(kCfSideFileSuffix).c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 0u);
    std::remove(Native().c_str());
    std::remove(Native(kCfKeptCopySuffix).c_str());
  }
}

// Root's file that every account may write: after root's save, nobody's
// save succeeds (the companions root made have the file's bits), and a
// folder planted at either companion fails root's save at once, naming it.
TEST_F(OtherAccountsOnDiskTest, CompanionsAreSharedAndPlantedFoldersAreNamed) {
  ASSERT_TRUE(AddKeys(path_, u"Root"));
  ASSERT_EQ(chmod(Native().c_str(), 0666), 0);
  ASSERT_TRUE(AddKeys(path_, u"Root2"));
  EXPECT_EQ(AsNobody([&] { return AddKeys(path_, u"Nobody") ? 0 : 1; }), 0);
  EXPECT_TRUE(HasKey(path_, u"Nobody"));

  for (const char16_t* suffix : {kCfSideFileSuffix, kCfKeptCopySuffix}) {
    SCOPED_TRACE(std::string(suffix, suffix + 4));
    std::remove(Native(suffix).c_str());
    if (suffix == kCfKeptCopySuffix) {
      std::string bytes = orvo::testing::ReadWholeFile(Native());
      bytes[kCfHeaderSize] ^= 0x40;  // F no longer loads whole: the save keeps it
      ASSERT_TRUE(orvo::testing::WriteWholeFile(Native(), bytes));
    }
    ASSERT_EQ(AsNobody([&] { return mkdir(Native(suffix).c_str(), 0777) == 0 ? 0 : 1; }), 0);
    const std::string before = orvo::testing::ReadWholeFile(Native());
    orvo::platform::SetLastFileFailure(FileFailure::kNone);
    EXPECT_FALSE(AddKeys(path_, u"Blocked"));
    EXPECT_EQ(orvo::platform::LastFileFailure(), FileFailure::kNameInTheWay);
    EXPECT_EQ(CfCompanionSuffix(CfLastSaveObstacle()), std::u16string(suffix));
    EXPECT_EQ(orvo::testing::ReadWholeFile(Native()), before);
    rmdir(Native(suffix).c_str());
  }
}
#endif

}  // namespace
