// A read that fails with an error (a flaky disk, a network share, a locked
// byte range) fails the open instead of offering a new tree: every read call
// of an open, alone and inside a notification, fails in turn, on an in-memory file
// system, and nothing on disk may change.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>

#include "install/operations.h"
#include "platform/memory_file_system.h"
#include "platform/shell.h"
#include "store/config_file.h"
#include "store/key.h"
#include "store/ref.h"
#include "tests/store/side_file_util.h"
#include "tests/testing/scoped_file_system.h"
#include "tests/testing/temp_dir.h"

using orvo::store::CreateConfigFile;

namespace orvo::install {
namespace {

using platform::MemoryFileSystem;

constexpr uint32_t kOpenExisting = 3;

using orvo::testing::ScopedFileSystem;

std::map<std::u16string, std::string> Files(const MemoryFileSystem& fs) {
  std::map<std::u16string, std::string> files;
  for (const std::u16string& p : fs.Paths()) fs.GetFile(p, &files[p]);
  return files;
}

int32_t NotifyNew(const std::u16string& name) {
  const std::u16string exe = u"C:\\" + name + u"\\main.exe";
  return NotifyApplicationInstalled(u"setup", name.c_str(), u"1.0", nullptr, exe.c_str(), nullptr,
                                    u"icon.ico", nullptr, nullptr);
}

TEST(ReadErrorTest, EveryFailedReadFailsTheOpenAndChangesNothing) {
  // The files live on the file system below; the machine-wide lock beside
  // them is a real file.
  orvo::testing::TempDir dir;
  ASSERT_TRUE(dir.ok());
  std::filesystem::create_directories(dir.NativePath(u"Tamsiver"));
  setenv("ORVO_COMMON_APPDATA", dir.NativePath(u"").c_str(), 1);
  // The registration file after 10 notifications, and where it lives.
  MemoryFileSystem made;
  std::u16string path;
  {
    ScopedFileSystem scope(&made);
    for (int i = 0; i < 10; ++i) ASSERT_EQ(NotifyNew(u"App" + std::u16string(1, u'a' + i)), 0);
    for (const std::u16string& p : made.Paths()) {
      if (p.size() > 4 && p.compare(p.size() - 4, 4, u".set") == 0) path = p;
    }
    ASSERT_FALSE(path.empty());
  }
  std::string whole;
  ASSERT_TRUE(made.GetFile(path, &whole));
  std::string broken = whole;
  broken[8] = 1;  // commit marks 1 and 2: a save that stopped
  // The side file of that save, in flight.
  const std::string side = orvo::testing::InFlightSideFile(whole, whole);

  const struct {
    const char* name;
    bool notify;     // a notification, or an open of the file
    bool side_file;  // the file is broken and the side file holds it
  } kCases[] = {
      {"open, file only", false, false},
      {"open, side file", false, true},
      {"notify, file only", true, false},
      {"notify, side file", true, true},
  };
  for (const auto& c : kCases) {
    // The reads of the open: the file's, then the side file's.
    int open_reads = 0;
    {
      MemoryFileSystem fs;
      ScopedFileSystem scope(&fs);
      fs.SetFile(path, c.side_file ? broken : whole);
      if (c.side_file) fs.SetFile(path + u".new", side);
      auto file = CfRef<CConfigFile>::Adopt(CreateConfigFile(path.c_str(), kOpenExisting));
      ASSERT_TRUE(file);
      open_reads = fs.counts.reads;
    }
    // The file's header and body; for a broken one (its header only) the side
    // file's header and trailer, its script and seal, the file's start that
    // the image is made of, then the file's bytes to compare.
    EXPECT_EQ(open_reads, c.side_file ? 5 : 2);
    for (int call = 1; call <= open_reads; ++call) {
      SCOPED_TRACE(std::string(c.name) + ", read call " + std::to_string(call));
      MemoryFileSystem fs;
      ScopedFileSystem scope(&fs);
      fs.SetFile(path, c.side_file ? broken : whole);
      if (c.side_file) fs.SetFile(path + u".new", side);
      const auto before = Files(fs);
      const uint64_t broadcasts = platform::BroadcastCount();
      fs.faults.fail_read_call = call;
      bool opened;
      if (c.notify) {
        const int32_t result = NotifyNew(u"New");
        opened = result == kResultOk;
        if (!opened) {
          EXPECT_EQ(result, kResultInvalidArg);
          EXPECT_EQ(platform::BroadcastCount(), broadcasts);
        }
      } else {
        auto file = CfRef<CConfigFile>::Adopt(CreateConfigFile(path.c_str(), kOpenExisting));
        opened = static_cast<bool>(file);
      }
      fs.faults = MemoryFileSystem::Faults();
      EXPECT_FALSE(opened) << "an open went on after a failed read";
      EXPECT_EQ(Files(fs), before) << "a failed read changed the files";
    }
  }
}

}  // namespace
}  // namespace orvo::install
