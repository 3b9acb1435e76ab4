// Companion files between accounts, on the real file system: as root, with
// a child process that becomes "nobody" for the other account. A sticky
// folder that every account may create files in, as the store's is.
#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <memory>
#include <string>

#include "platform/file.h"
#include "tests/testing/as_nobody.h"
#include "tests/testing/temp_dir.h"

namespace orvo::platform {
namespace {

using orvo::testing::AsNobody;
using orvo::testing::kNobody;

class CompanionAccessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "needs root, to act as two accounts";
    ASSERT_TRUE(dir_.ok());
    ASSERT_EQ(chmod(dir_.NativePath(u"").c_str(), 01777), 0);
  }

  std::string Native(const std::u16string& name) const { return dir_.NativePath(name).string(); }
  std::u16string Path(const std::u16string& name) const { return dir_.Path(name); }

  // Makes |name| with |owner| and |mode| (as root).
  void Make(const std::u16string& name, uid_t owner, mode_t mode) {
    ASSERT_TRUE(orvo::testing::WriteWholeFile(dir_.NativePath(name), "bytes"));
    ASSERT_EQ(chown(Native(name).c_str(), owner, owner), 0);
    ASSERT_EQ(chmod(Native(name).c_str(), mode), 0);
  }

  std::unique_ptr<File> Open(const std::u16string& name, OpenMode mode, Disposition d,
                             OpenError* error) {
    return std::unique_ptr<File>(fs_->Open(Path(name).c_str(), mode, d, error));
  }

  struct stat Stat(const std::u16string& name) {
    struct stat st = {};
    EXPECT_EQ(lstat(Native(name).c_str(), &st), 0);
    return st;
  }

  orvo::testing::TempDir dir_;
  FileSystem* fs_ = RealFileSystem();
};

// The verdict on a companion made by root or nobody with given bits,
// beside a file F of a given owner and bits, as root judges it.
TEST_F(CompanionAccessTest, VerdictsFollowOwnerAndBits) {
  const struct {
    const char* what;
    uid_t file_owner;
    mode_t file_mode;
    uid_t companion_owner;
    mode_t companion_mode;
    CompanionTrust verdict;
  } cases[] = {
      {"root's, like F", 0, 0644, 0, 0644, CompanionTrust::kTrusted},
      {"planted by nobody", 0, 0644, kNobody, 0644, CompanionTrust::kForeignOwner},
      {"planted by nobody, F writable by all", 0, 0666, kNobody, 0666,
       CompanionTrust::kForeignOwner},
      {"root's, writable by all, F not", 0, 0644, 0, 0666, CompanionTrust::kWritableByOthers},
      {"root's, writable by all like F", 0, 0666, 0, 0666, CompanionTrust::kTrusted},
      {"F's owner's", kNobody, 0600, kNobody, 0600, CompanionTrust::kTrusted},
      {"root's beside nobody's F", kNobody, 0600, 0, 0600, CompanionTrust::kTrusted},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Make(u"F", c.file_owner, c.file_mode);
    Make(u"F.new", c.companion_owner, c.companion_mode);
    OpenError error;
    std::unique_ptr<File> f = Open(u"F", OpenMode::kRead, kOpenExisting, &error);
    std::unique_ptr<File> side = Open(u"F.new", OpenMode::kRead, kOpenExisting, &error);
    ASSERT_TRUE(f && side);
    EXPECT_EQ(side->TrustAsCompanionOf(f.get()), c.verdict);
  }
}

// A side file that nobody made, in flight or not: nobody trusts it (its
// own), root does not, and nobody cannot give it root's access.
TEST_F(CompanionAccessTest, PlantedCompanionIsNotTrustedByRoot) {
  Make(u"F", 0, 0644);
  const std::u16string f_path = Path(u"F"), side_path = Path(u"F.new");
  EXPECT_EQ(
      AsNobody([&] {
        OpenError error;
        std::unique_ptr<File> f(fs_->Open(f_path.c_str(), OpenMode::kRead, kOpenExisting, &error));
        if (!f) return 1;
        std::unique_ptr<File> side(
            fs_->OpenBeside(f.get(), side_path.c_str(), OpenMode::kReadWrite, kOpenAlways, &error));
        if (!side) return 2;
        if (side->TrustAsCompanionOf(f.get()) != CompanionTrust::kTrusted) return 3;
        return side->TakeAccessOf(f.get()) ? 0 : 4;  // as far as nobody may: its bits
      }),
      0);
  EXPECT_EQ(Stat(u"F.new").st_uid, kNobody);
  EXPECT_EQ(Stat(u"F.new").st_mode & 07777, 0644u);
  OpenError error;
  std::unique_ptr<File> f = Open(u"F", OpenMode::kRead, kOpenExisting, &error);
  std::unique_ptr<File> side = Open(u"F.new", OpenMode::kReadWrite, kOpenExisting, &error);
  ASSERT_TRUE(f && side);
  EXPECT_EQ(side->TrustAsCompanionOf(f.get()), CompanionTrust::kForeignOwner);
  // Root may take it over: then it is root's, and trusted.
  EXPECT_TRUE(side->TakeAccessOf(f.get()));
  EXPECT_EQ(Stat(u"F.new").st_uid, 0u);
  EXPECT_EQ(side->TrustAsCompanionOf(f.get()), CompanionTrust::kTrusted);
}

// Companions take F's access from the moment they exist: root's beside a
// file everyone may write can be written by nobody; root's beside nobody's
// file becomes nobody's.
TEST_F(CompanionAccessTest, CompanionsAreMadeWithTheFilesAccess) {
  const mode_t before = umask(022);
  Make(u"F", 0, 0666);
  OpenError error;
  std::unique_ptr<File> f = Open(u"F", OpenMode::kRead, kOpenExisting, &error);
  ASSERT_TRUE(f);
  std::unique_ptr<File> side(
      fs_->OpenBeside(f.get(), Path(u"F.new").c_str(), OpenMode::kReadWrite, kOpenAlways, &error));
  ASSERT_TRUE(side);
  side.reset();
  EXPECT_EQ(Stat(u"F.new").st_mode & 07777, 0666u);
  const std::u16string f_path = Path(u"F"), side_path = Path(u"F.new");
  EXPECT_EQ(
      AsNobody([&] {
        OpenError e;
        std::unique_ptr<File> mine(fs_->Open(f_path.c_str(), OpenMode::kRead, kOpenExisting, &e));
        std::unique_ptr<File> theirs(
            fs_->Open(side_path.c_str(), OpenMode::kReadWrite, kOpenExisting, &e));
        if (!mine || !theirs) return 1;
        return theirs->TrustAsCompanionOf(mine.get()) == CompanionTrust::kTrusted ? 0 : 2;
      }),
      0);

  Make(u"G", kNobody, 0640);
  std::unique_ptr<File> g = Open(u"G", OpenMode::kRead, kOpenExisting, &error);
  ASSERT_TRUE(g);
  std::unique_ptr<File> kept(fs_->OpenBeside(g.get(), Path(u"G.old").c_str(), OpenMode::kReadWrite,
                                             kCreateAlways, &error));
  ASSERT_TRUE(kept);
  const struct stat st = Stat(u"G.old");
  EXPECT_EQ(st.st_uid, kNobody);
  EXPECT_EQ(st.st_gid, kNobody);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  // An existing file is opened as it is.
  ASSERT_EQ(chmod(Native(u"G.old").c_str(), 0600), 0);
  kept.reset();
  kept =
      fs_->OpenBeside(g.get(), Path(u"G.old").c_str(), OpenMode::kReadWrite, kOpenAlways, &error);
  ASSERT_TRUE(kept);
  EXPECT_EQ(Stat(u"G.old").st_mode & 07777, 0600u);
  umask(before);
}

// A folder, a FIFO or a device at a companion's name: every open fails at
// once with kNotAFile, for root and for nobody, and changes nothing there.
TEST_F(CompanionAccessTest, NamesInTheWayNeverBlock) {
  Make(u"F", 0, 0666);
  ASSERT_EQ(mkdir(Native(u"F.new").c_str(), 0777), 0);
  ASSERT_EQ(mkfifo(Native(u"F.old").c_str(), 0666), 0);
  ASSERT_EQ(chown(Native(u"F.old").c_str(), kNobody, kNobody), 0);
  const std::u16string f_path = Path(u"F");
  const std::u16string names[] = {Path(u"F.new"), Path(u"F.old"), u"/dev/null"};
  auto all_refused = [&]() {
    OpenError error;
    std::unique_ptr<File> f(fs_->Open(f_path.c_str(), OpenMode::kRead, kOpenExisting, &error));
    if (!f) return 1;
    for (const std::u16string& name : names) {
      for (OpenMode mode : {OpenMode::kRead, OpenMode::kReadWrite}) {
        for (Disposition d : {kOpenExisting, kOpenAlways, kCreateAlways, kTruncateExisting}) {
          error = OpenError::kNone;
          std::unique_ptr<File> g(fs_->OpenBeside(f.get(), name.c_str(), mode, d, &error));
          if (g || error != OpenError::kNotAFile) return 2;
          g = fs_->Open(name.c_str(), mode, d, &error);
          if (g || error != OpenError::kNotAFile) return 3;
        }
      }
    }
    return 0;
  };
  EXPECT_EQ(AsNobody(all_refused, 5), 0);
  // Root, in a child too, so that a blocked open cannot hang the test.
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    alarm(5);
    _exit(all_refused());
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_TRUE(S_ISDIR(Stat(u"F.new").st_mode));
  EXPECT_TRUE(S_ISFIFO(Stat(u"F.old").st_mode));
}

}  // namespace
}  // namespace orvo::platform
