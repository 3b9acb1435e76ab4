// The in-memory file system that the crash tests stand on: its sharing rule,
// its injected failures and the crashes it simulates.
#include "platform/memory_file_system.h"

#include <gtest/gtest.h>

#include <memory>
#include <set>
#include <string>

namespace orvo::platform {
namespace {

using CrashKind = MemoryFileSystem::CrashKind;
constexpr uint32_t kSector = MemoryFileSystem::kSectorSize;

class MemoryFileSystemTest : public ::testing::Test {
 protected:
  std::unique_ptr<File> Open(const std::u16string& path, OpenMode mode, Disposition d,
                             OpenError* error = nullptr) {
    OpenError e = OpenError::kNone;
    std::unique_ptr<File> f(fs_.Open(path.c_str(), mode, d, error != nullptr ? error : &e));
    return f;
  }
  bool Write(File* f, const std::string& s) {
    uint32_t done = 0;
    return f->Write(s.data(), static_cast<uint32_t>(s.size()), &done) && done == s.size();
  }
  std::string Get(const std::u16string& path) {
    std::string s;
    fs_.GetFile(path, &s);
    return s;
  }

  MemoryFileSystem fs_;
};

TEST_F(MemoryFileSystemTest, AWriterSharesWithNoOneAndBusyOpensWait) {
  fs_.SetFile(u"f", "x");
  OpenError error = OpenError::kNone;
  std::unique_ptr<File> writer = Open(u"f", OpenMode::kReadWrite, kOpenExisting);
  ASSERT_TRUE(writer);
  EXPECT_FALSE(Open(u"f", OpenMode::kRead, kOpenExisting, &error));
  EXPECT_EQ(error, OpenError::kSharingViolation);
  writer.reset();
  std::unique_ptr<File> reader = Open(u"f", OpenMode::kRead, kOpenExisting);
  EXPECT_TRUE(Open(u"f", OpenMode::kRead, kOpenExisting));
  EXPECT_FALSE(Open(u"f", OpenMode::kReadWrite, kOpenExisting, &error));
  EXPECT_EQ(error, OpenError::kSharingViolation);
  reader.reset();

  // A holder that lets go after three tries: the patient open waits for it.
  fs_.faults.busy_opens = 3;
  std::unique_ptr<File> f(
      OpenWaitingForSharing(&fs_, u"f", OpenMode::kRead, kOpenExisting, &error, 1000));
  EXPECT_TRUE(f);
  EXPECT_EQ(fs_.counts.pauses, 3);
  f.reset();
  // One that never does: the wait is bounded (20 ms pauses for 1000 ms).
  fs_.counts = MemoryFileSystem::Counts();
  fs_.faults.busy_opens = 1000000;
  EXPECT_FALSE(OpenWaitingForSharing(&fs_, u"f", OpenMode::kRead, kOpenExisting, &error, 1000));
  EXPECT_EQ(error, OpenError::kSharingViolation);
  EXPECT_EQ(fs_.counts.pauses, 50);
  // Other errors are not waited for.
  fs_.counts = MemoryFileSystem::Counts();
  EXPECT_FALSE(OpenWaitingForSharing(&fs_, u"g", OpenMode::kRead, kOpenExisting, &error, 1000));
  EXPECT_EQ(error, OpenError::kNotFound);
  EXPECT_EQ(fs_.counts.pauses, 0);
}

TEST_F(MemoryFileSystemTest, AnyCallCanFail) {
  // Calls: 1 open, 2 write, 3 seek, 4 read, 5 size, 6 flush, 7 close.
  for (int call = 1; call <= 7; ++call) {
    SCOPED_TRACE(call);
    MemoryFileSystem fs;
    fs.faults.fail_call = call;
    OpenError error;
    std::unique_ptr<File> f(fs.Open(u"f", OpenMode::kReadWrite, kCreateAlways, &error));
    if (call == 1) {
      EXPECT_FALSE(f);
      EXPECT_EQ(error, OpenError::kAccessDenied);
      continue;
    }
    ASSERT_TRUE(f);
    uint32_t done = 0;
    EXPECT_EQ(f->Write("abcd", 4, &done), call != 2);
    EXPECT_EQ(done, call == 2 ? 2u : 4u);  // a failed write leaves half of it
    EXPECT_EQ(f->Seek(0), call != 3);
    char buf[4];
    EXPECT_EQ(f->Read(buf, 4, &done), call != 4);
    uint64_t size = 0;
    EXPECT_EQ(f->Size(&size), call != 5);
    EXPECT_EQ(f->Flush(), call != 6);
    EXPECT_EQ(f->Close(), call != 7);
    EXPECT_EQ(fs.counts.calls, 7);
    // Even a failed close lets go of the file.
    EXPECT_TRUE(std::unique_ptr<File>(fs.Open(u"f", OpenMode::kReadWrite, kOpenExisting, &error)));
  }
}

TEST_F(MemoryFileSystemTest, AStoppedProcessDoesNothingMore) {
  std::unique_ptr<File> f = Open(u"f", OpenMode::kReadWrite, kCreateNew);
  ASSERT_TRUE(Write(f.get(), "one"));
  fs_.faults.crash_call = fs_.counts.calls + 2;
  ASSERT_TRUE(Write(f.get(), "two"));
  EXPECT_FALSE(fs_.stopped());
  EXPECT_FALSE(Write(f.get(), "three"));
  EXPECT_TRUE(fs_.stopped());
  EXPECT_FALSE(f->Flush());
  EXPECT_FALSE(Open(u"g", OpenMode::kReadWrite, kCreateNew));
  EXPECT_EQ(Get(u"f"), "onetwo");
  EXPECT_EQ(fs_.Paths(), std::vector<std::u16string>{u"f"});
  f.reset();
  fs_.Crash(CrashKind::kProcessKill, 1);
  // The system kept every write; the next process can use the file.
  EXPECT_EQ(Get(u"f"), "onetwo");
  EXPECT_FALSE(fs_.stopped());
  EXPECT_TRUE(Open(u"f", OpenMode::kReadWrite, kOpenExisting));
}

TEST_F(MemoryFileSystemTest, HandlesDieWithTheCrash) {
  fs_.SetFile(u"f", "abc");
  std::unique_ptr<File> f = Open(u"f", OpenMode::kReadWrite, kOpenExisting);
  ASSERT_TRUE(f);
  fs_.Crash(CrashKind::kProcessKill, 1);
  EXPECT_FALSE(Write(f.get(), "x"));
  uint64_t size;
  EXPECT_FALSE(f->Size(&size));
  EXPECT_FALSE(f->Close());
  EXPECT_EQ(Get(u"f"), "abc");
  EXPECT_TRUE(Open(u"f", OpenMode::kReadWrite, kOpenExisting));  // no sharing left behind
}

TEST_F(MemoryFileSystemTest, PowerLossKeepsWhatWasFlushed) {
  const std::string flushed(3 * kSector, 'o');
  for (uint32_t seed = 1; seed <= 20; ++seed) {
    MemoryFileSystem fs;
    OpenError error;
    std::unique_ptr<File> f(fs.Open(u"f", OpenMode::kReadWrite, kCreateNew, &error));
    uint32_t done;
    ASSERT_TRUE(f->Write(flushed.data(), static_cast<uint32_t>(flushed.size()), &done));
    ASSERT_TRUE(f->Flush());
    f.reset();
    fs.SetFile(u"set", "as flushed");
    fs.Crash(CrashKind::kPowerLoss, seed);
    std::string s;
    ASSERT_TRUE(fs.GetFile(u"f", &s));
    EXPECT_EQ(s, flushed);
    ASSERT_TRUE(fs.GetFile(u"set", &s));
    EXPECT_EQ(s, "as flushed");
  }
}

// The shape of one sector after a power loss.
enum class Shape { kOld, kNew, kNewThenOld, kOldThenNew, kOther };

Shape ShapeOf(const std::string& got, const std::string& old, const std::string& now) {
  if (got == old) return Shape::kOld;
  if (got == now) return Shape::kNew;
  for (size_t cut = 1; cut < got.size(); ++cut) {
    if (got == now.substr(0, cut) + old.substr(cut)) return Shape::kNewThenOld;
    if (got == old.substr(0, cut) + now.substr(cut)) return Shape::kOldThenNew;
  }
  return Shape::kOther;
}

TEST_F(MemoryFileSystemTest, PowerLossKeepsDropsOrTearsEachUnflushedSector) {
  const std::string old(4 * kSector, 'o');
  std::set<Shape> shapes;
  std::set<size_t> lengths;
  for (uint32_t seed = 1; seed <= 60; ++seed) {
    MemoryFileSystem fs;
    fs.SetFile(u"f", old);
    OpenError error;
    std::unique_ptr<File> f(fs.Open(u"f", OpenMode::kReadWrite, kOpenExisting, &error));
    // Rewrites sectors 1 and 2 and grows the file by one sector, unflushed.
    const std::string now =
        std::string(kSector, 'o') + std::string(3 * kSector, 'n') + std::string(kSector, 'n');
    ASSERT_TRUE(f->Seek(kSector));
    uint32_t done;
    ASSERT_TRUE(f->Write(now.data() + kSector, 4 * kSector, &done));
    f.reset();
    fs.Crash(CrashKind::kPowerLoss, seed);
    std::string got;
    ASSERT_TRUE(fs.GetFile(u"f", &got));
    lengths.insert(got.size());
    ASSERT_TRUE(got.size() == old.size() || got.size() == now.size());
    EXPECT_EQ(got.substr(0, kSector), old.substr(0, kSector));        // untouched sector
    const std::string old_padded = old + std::string(kSector, '\0');  // past the old end: zeros
    for (size_t s = 1; s * kSector < got.size(); ++s) {
      const Shape shape =
          ShapeOf(got.substr(s * kSector, kSector), old_padded.substr(s * kSector, kSector),
                  now.substr(s * kSector, kSector));
      EXPECT_NE(shape, Shape::kOther) << "seed " << seed << " sector " << s;
      shapes.insert(shape);
    }
  }
  EXPECT_EQ(shapes.size(), 4u);  // old, new and both kinds of tear all happen
  EXPECT_EQ(lengths.size(), 2u);
}

TEST_F(MemoryFileSystemTest, PowerLossMayLoseAFileNeverFlushed) {
  int lost = 0, kept = 0;
  for (uint32_t seed = 1; seed <= 40; ++seed) {
    MemoryFileSystem fs;
    OpenError error;
    std::unique_ptr<File> f(fs.Open(u"new", OpenMode::kReadWrite, kCreateNew, &error));
    uint32_t done;
    ASSERT_TRUE(f->Write("data", 4, &done));
    f.reset();
    fs.Crash(CrashKind::kPowerLoss, seed);
    std::string s;
    if (fs.GetFile(u"new", &s)) {
      ++kept;
      EXPECT_TRUE(s == "data" || s.empty() || s.size() == 4) << s;
    } else {
      ++lost;
    }
  }
  EXPECT_GT(lost, 0);
  EXPECT_GT(kept, 0);
}

// The accounts of a sticky folder that everyone may create files in: root's
// file read-only for others, a companion made beside it, a name in the way.
TEST_F(MemoryFileSystemTest, AccountsOwnersAndNamesInTheWay) {
  constexpr uint32_t kNobody = 65534;
  fs_.SetFile(u"F", "root's");  // root's, 0644
  fs_.account = {kNobody, kNobody};
  OpenError error = OpenError::kNone;
  EXPECT_FALSE(Open(u"F", OpenMode::kReadWrite, kOpenExisting, &error));
  EXPECT_EQ(error, OpenError::kAccessDenied);
  EXPECT_FALSE(fs_.Remove(u"F"));
  std::unique_ptr<File> f = Open(u"F", OpenMode::kRead, kOpenExisting);
  ASSERT_TRUE(f);

  // nobody's companion: nobody's own, F's bits; root does not trust it.
  std::unique_ptr<File> planted(
      fs_.OpenBeside(f.get(), u"F.new", OpenMode::kReadWrite, kOpenAlways, &error));
  ASSERT_TRUE(planted);
  PosixAccess access;
  ASSERT_TRUE(fs_.GetAccess(u"F.new", &access));
  EXPECT_EQ(access.uid, kNobody);
  EXPECT_EQ(access.mode, 0644u);
  EXPECT_EQ(planted->TrustAsCompanionOf(f.get()), CompanionTrust::kTrusted);  // nobody's own
  fs_.account = {};
  EXPECT_EQ(planted->TrustAsCompanionOf(f.get()), CompanionTrust::kForeignOwner);
  planted.reset();
  EXPECT_TRUE(fs_.Remove(u"F.new"));  // root may

  // root's companion of a file everyone may write: everyone may write it.
  ASSERT_TRUE(fs_.SetAccess(u"F", {0, 0, 0666, true}));
  std::unique_ptr<File> side(
      fs_.OpenBeside(f.get(), u"F.new", OpenMode::kReadWrite, kCreateNew, &error));
  ASSERT_TRUE(side);
  ASSERT_TRUE(fs_.GetAccess(u"F.new", &access));
  EXPECT_EQ(access.mode, 0666u);
  side.reset();
  fs_.account = {kNobody, kNobody};
  side = fs_.Open(u"F.new", OpenMode::kReadWrite, kOpenExisting, &error);
  ASSERT_TRUE(side);
  EXPECT_EQ(side->TrustAsCompanionOf(f.get()), CompanionTrust::kTrusted);
  ASSERT_TRUE(fs_.SetAccess(u"F", {0, 0, 0644, true}));
  EXPECT_EQ(side->TrustAsCompanionOf(f.get()), CompanionTrust::kWritableByOthers);
  EXPECT_FALSE(side->TakeAccessOf(f.get()));  // not nobody's to change
  side.reset();

  // A folder and a pipe: never opened; the pipe's owner may remove it.
  fs_.PlantNonFile(u"F.old", MemoryFileSystem::NonFile::kFolder, kNobody);
  fs_.PlantNonFile(u"F.lock", MemoryFileSystem::NonFile::kPipe, kNobody);
  for (const char16_t* name : {u"F.old", u"F.lock"}) {
    for (Disposition d : {kOpenExisting, kOpenAlways, kCreateAlways}) {
      EXPECT_FALSE(fs_.OpenBeside(f.get(), name, OpenMode::kReadWrite, d, &error));
      EXPECT_EQ(error, OpenError::kNotAFile);
      EXPECT_FALSE(Open(name, OpenMode::kRead, d, &error));
      EXPECT_EQ(error, OpenError::kNotAFile);
    }
  }
  EXPECT_FALSE(fs_.Remove(u"F.old"));
  EXPECT_TRUE(fs_.Remove(u"F.lock"));
}

}  // namespace
}  // namespace orvo::platform
