#include "platform/file.h"

#include <gtest/gtest.h>

#ifdef _WIN32
// clang-format off
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>
// clang-format on
#else
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <filesystem>
#include <memory>
#include <string>
#include <utility>

#include "platform/file_failure.h"
#include "tests/testing/temp_dir.h"

namespace orvo::platform {
namespace {

using orvo::testing::ReadWholeFile;
using orvo::testing::TempDir;
using orvo::testing::WriteWholeFile;

class FileTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(dir_.ok()); }

  std::unique_ptr<File> Open(const std::u16string& name, OpenMode mode, Disposition d,
                             OpenError* error) {
    return std::unique_ptr<File>(fs_->Open(dir_.Path(name).c_str(), mode, d, error));
  }
  std::unique_ptr<File> OpenOk(const std::u16string& name, OpenMode mode, Disposition d) {
    OpenError error = OpenError::kOther;
    std::unique_ptr<File> f = Open(name, mode, d, &error);
    EXPECT_TRUE(f != nullptr);
    EXPECT_EQ(error, OpenError::kNone);
    return f;
  }

  TempDir dir_;
  FileSystem* fs_ = RealFileSystem();
};

struct DispositionCase {
  const char* what;
  Disposition disposition;
  OpenMode mode;
  bool exists;      // the file holds "hello" before the open
  bool opens;       // the open succeeds
  OpenError error;  // when it does not
  int size_after;   // -1: the file does not exist afterwards
};

const DispositionCase kDispositions[] = {
    {"create-new on missing", kCreateNew, OpenMode::kReadWrite, false, true, OpenError::kNone, 0},
    {"create-new on existing", kCreateNew, OpenMode::kReadWrite, true, false, OpenError::kOther, 5},
    {"create-always on missing", kCreateAlways, OpenMode::kReadWrite, false, true, OpenError::kNone,
     0},
    {"create-always truncates", kCreateAlways, OpenMode::kReadWrite, true, true, OpenError::kNone,
     0},
    {"open-existing on missing", kOpenExisting, OpenMode::kRead, false, false, OpenError::kNotFound,
     -1},
    {"open-existing for writing on missing", kOpenExisting, OpenMode::kReadWrite, false, false,
     OpenError::kNotFound, -1},
    {"open-existing keeps content", kOpenExisting, OpenMode::kRead, true, true, OpenError::kNone,
     5},
    {"open-always creates", kOpenAlways, OpenMode::kRead, false, true, OpenError::kNone, 0},
    {"open-always for writing creates", kOpenAlways, OpenMode::kReadWrite, false, true,
     OpenError::kNone, 0},
    {"open-always keeps content", kOpenAlways, OpenMode::kReadWrite, true, true, OpenError::kNone,
     5},
    {"truncate-existing on missing", kTruncateExisting, OpenMode::kReadWrite, false, false,
     OpenError::kNotFound, -1},
    {"truncate-existing truncates", kTruncateExisting, OpenMode::kReadWrite, true, true,
     OpenError::kNone, 0},
};

TEST_F(FileTest, Dispositions) {
  int n = 0;
  for (const DispositionCase& c : kDispositions) {
    SCOPED_TRACE(c.what);
    const std::u16string name = u"d" + std::u16string(1, static_cast<char16_t>(u'a' + n++));
    if (c.exists) {
      ASSERT_TRUE(WriteWholeFile(dir_.NativePath(name), "hello"));
    }
    OpenError error = OpenError::kNone;
    std::unique_ptr<File> f = Open(name, c.mode, c.disposition, &error);
    EXPECT_EQ(f != nullptr, c.opens);
    EXPECT_EQ(error, c.error);
    if (f != nullptr) {
      uint64_t size = 99;
      ASSERT_TRUE(f->Size(&size));
      EXPECT_EQ(size, static_cast<uint64_t>(c.size_after));
      EXPECT_TRUE(f->Close());
    }
    std::error_code ec;
    const bool exists = std::filesystem::exists(dir_.NativePath(name), ec);
    EXPECT_EQ(exists, c.size_after >= 0);
    if (exists) {
      EXPECT_EQ(ReadWholeFile(dir_.NativePath(name)).size(), size_t(c.size_after));
    }
  }
}

TEST_F(FileTest, ReadWriteSeekAndShortReads) {
  std::unique_ptr<File> f = OpenOk(u"rw", OpenMode::kReadWrite, kCreateNew);
  ASSERT_TRUE(f);
  uint32_t done = 0;
  ASSERT_TRUE(f->Write("abcdef", 6, &done));
  EXPECT_EQ(done, 6u);
  ASSERT_TRUE(f->Seek(2));
  char buf[16] = {};
  ASSERT_TRUE(f->Read(buf, sizeof(buf), &done));  // asks for more than there is
  EXPECT_EQ(done, 4u);
  EXPECT_EQ(std::string(buf, done), "cdef");
  ASSERT_TRUE(f->Read(buf, sizeof(buf), &done));  // at the end: nothing, no error
  EXPECT_EQ(done, 0u);
  ASSERT_TRUE(f->Seek(1));
  ASSERT_TRUE(f->Write("XY", 2, &done));
  ASSERT_TRUE(f->Seek(8));  // past the end: writing there fills the gap with zeros
  ASSERT_TRUE(f->Write("Z", 1, &done));
  uint64_t size = 0;
  ASSERT_TRUE(f->Size(&size));
  EXPECT_EQ(size, 9u);
  EXPECT_TRUE(f->Flush());
  EXPECT_TRUE(f->Close());
  EXPECT_FALSE(f->Close());
  EXPECT_FALSE(f->Read(buf, 1, &done));
  EXPECT_FALSE(f->Write("a", 1, &done));
  EXPECT_EQ(ReadWholeFile(dir_.NativePath(u"rw")), std::string("aXYdef\0\0Z", 9));
}

TEST_F(FileTest, AWriterSharesWithNoOne) {
  std::unique_ptr<File> writer = OpenOk(u"s", OpenMode::kReadWrite, kOpenAlways);
  ASSERT_TRUE(writer);
  uint32_t done = 0;
  ASSERT_TRUE(writer->Write("held", 4, &done));
  OpenError error = OpenError::kNone;
  EXPECT_EQ(Open(u"s", OpenMode::kReadWrite, kOpenAlways, &error), nullptr);
  EXPECT_EQ(error, OpenError::kSharingViolation);
  EXPECT_EQ(Open(u"s", OpenMode::kRead, kOpenExisting, &error), nullptr);
  EXPECT_EQ(error, OpenError::kSharingViolation);
  // A refused open that would truncate leaves the content alone.
  EXPECT_EQ(Open(u"s", OpenMode::kReadWrite, kCreateAlways, &error), nullptr);
  EXPECT_EQ(error, OpenError::kSharingViolation);
  writer.reset();
  EXPECT_EQ(ReadWholeFile(dir_.NativePath(u"s")), "held");
  EXPECT_TRUE(OpenOk(u"s", OpenMode::kReadWrite, kOpenExisting));
}

TEST_F(FileTest, ReadersShareWithReadersOnly) {
  std::unique_ptr<File> r1 = OpenOk(u"r", OpenMode::kRead, kOpenAlways);
  std::unique_ptr<File> r2 = OpenOk(u"r", OpenMode::kRead, kOpenExisting);
  ASSERT_TRUE(r1 && r2);
  OpenError error = OpenError::kNone;
  EXPECT_EQ(Open(u"r", OpenMode::kReadWrite, kOpenAlways, &error), nullptr);
  EXPECT_EQ(error, OpenError::kSharingViolation);
  r1.reset();
  EXPECT_EQ(Open(u"r", OpenMode::kReadWrite, kOpenAlways, &error), nullptr);
  r2.reset();
  EXPECT_TRUE(OpenOk(u"r", OpenMode::kReadWrite, kOpenAlways));
}

TEST_F(FileTest, PathsThatAreNoFile) {
  OpenError error = OpenError::kNone;
  EXPECT_EQ(fs_->Open(u"", OpenMode::kRead, kOpenAlways, &error), nullptr);
  EXPECT_EQ(error, OpenError::kInvalidPath);
  EXPECT_EQ(Open(u"no-such-folder/f", OpenMode::kRead, kOpenAlways, &error), nullptr);
  EXPECT_EQ(error, OpenError::kNotFound);
  ASSERT_TRUE(fs_->CreateFolder(dir_.Path(u"sub").c_str()));
  EXPECT_FALSE(fs_->CreateFolder(dir_.Path(u"sub").c_str()));  // exists already
  // A folder is in the way of a file, whatever the mode; it stays as it is.
  for (OpenMode mode : {OpenMode::kRead, OpenMode::kReadWrite}) {
    for (Disposition d : {kCreateAlways, kOpenExisting, kOpenAlways, kTruncateExisting}) {
      SetLastFileFailure(FileFailure::kNone);
      EXPECT_EQ(Open(u"sub", mode, d, &error), nullptr);
      EXPECT_EQ(error, OpenError::kNotAFile) << d;
      EXPECT_EQ(LastFileFailure(), FileFailure::kAccessDenied);
    }
  }
  EXPECT_TRUE(OpenOk(u"sub/inner", OpenMode::kReadWrite, kCreateNew));
  EXPECT_TRUE(fs_->Remove(dir_.Path(u"sub/inner").c_str()));
  EXPECT_FALSE(fs_->Remove(dir_.Path(u"sub/inner").c_str()));
}

#ifndef _WIN32
// A FIFO planted at a name: no open waits for a writer or a reader (the
// test runs in a child that is killed after a few seconds), and every one is
// refused. A device the same.
TEST_F(FileTest, PipesAndDevicesAreRefusedWithoutWaiting) {
  const std::u16string fifo = dir_.Path(u"fifo");
  ASSERT_EQ(mkfifo(dir_.NativePath(u"fifo").c_str(), 0666), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    alarm(5);
    int bad = 0;
    for (const std::u16string& name : {fifo, std::u16string(u"/dev/null")}) {
      for (OpenMode mode : {OpenMode::kRead, OpenMode::kReadWrite}) {
        for (Disposition d : {kCreateAlways, kOpenExisting, kOpenAlways, kTruncateExisting}) {
          OpenError error = OpenError::kNone;
          std::unique_ptr<File> f(fs_->Open(name.c_str(), mode, d, &error));
          if (f || error != OpenError::kNotAFile) ++bad;
        }
      }
    }
    _exit(bad);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status)) << "an open blocked";
  EXPECT_EQ(WEXITSTATUS(status), 0) << "opens not refused as no file";
}
#endif

TEST_F(FileTest, NonAsciiNames) {
  // Latin, CJK and a character outside the basic plane (a surrogate pair).
  const std::u16string name = u"\u00e9t\u00e9 \u4e2d\U0001F600.set";
  std::unique_ptr<File> f = OpenOk(name, OpenMode::kReadWrite, kCreateNew);
  ASSERT_TRUE(f);
  uint32_t done = 0;
  ASSERT_TRUE(f->Write("x", 1, &done));
  f.reset();
  std::error_code ec;
  EXPECT_TRUE(std::filesystem::exists(dir_.NativePath(name), ec));
  EXPECT_EQ(ReadWholeFile(dir_.NativePath(name)), "x");
  EXPECT_TRUE(OpenOk(name, OpenMode::kRead, kOpenExisting));
}

// A name planted in a shared folder that leads to another file: no mode and
// no disposition opens it, none truncates the file it leads to, and the
// refusal is recorded as access denied. Under Wine only hard links can be
// made; natively symbolic ones too (dangling ones included).
TEST_F(FileTest, LinksAreNeverOpened) {
  const std::string secret = "someone else's bytes";
  ASSERT_TRUE(WriteWholeFile(dir_.NativePath(u"victim"), secret));
  const std::u16string victim = dir_.Path(u"victim");
  struct Link {
    const char* what;
    bool (*make)(const std::u16string& target, const std::u16string& name);
  };
  const Link links[] = {
#ifdef _WIN32
      {"hard link",
       [](const std::u16string& target, const std::u16string& name) {
         return CreateHardLinkW(reinterpret_cast<const wchar_t*>(name.c_str()),
                                reinterpret_cast<const wchar_t*>(target.c_str()), nullptr) != 0;
       }},
#else
      {"hard link",
       [](const std::u16string& target, const std::u16string& name) {
         return link(std::filesystem::path(target).c_str(), std::filesystem::path(name).c_str()) ==
                0;
       }},
      {"symbolic link",
       [](const std::u16string& target, const std::u16string& name) {
         return symlink(std::filesystem::path(target).c_str(),
                        std::filesystem::path(name).c_str()) == 0;
       }},
      {"dangling symbolic link",
       [](const std::u16string&, const std::u16string& name) {
         return symlink("/nonexistent-orvo-target", std::filesystem::path(name).c_str()) == 0;
       }},
#endif
  };
  for (const Link& l : links) {
    for (OpenMode mode : {OpenMode::kRead, OpenMode::kReadWrite}) {
      for (Disposition d :
           {kCreateNew, kCreateAlways, kOpenExisting, kOpenAlways, kTruncateExisting}) {
        SCOPED_TRACE(std::string(l.what) + (mode == OpenMode::kRead ? " read " : " write ") +
                     std::to_string(d));
        const std::u16string name = dir_.Path(u"planted");
        ASSERT_TRUE(l.make(victim, name));
        SetLastFileFailure(FileFailure::kNone);
        OpenError error = OpenError::kNone;
        std::unique_ptr<File> f(fs_->Open(name.c_str(), mode, d, &error));
        EXPECT_EQ(f, nullptr);
        // An existing name refuses a new file before anything is followed.
        if (d != kCreateNew) {
          EXPECT_EQ(error, OpenError::kLinked);
          EXPECT_EQ(LastFileFailure(), FileFailure::kAccessDenied);
        }
        EXPECT_EQ(ReadWholeFile(dir_.NativePath(u"victim")), secret);
        EXPECT_FALSE(std::filesystem::exists("/nonexistent-orvo-target"));
        f.reset();
        ASSERT_TRUE(fs_->Remove(name.c_str()));
      }
    }
  }
  // The file itself, alone with its name again, opens.
  OpenOk(u"victim", OpenMode::kReadWrite, kOpenExisting);
}

#ifdef _WIN32
// A writer that sets the last-write time back, as any writer may, still
// changes the stamp: the change time moved.
TEST_F(FileTest, StampSeesAWriteWhoseTimeWasSetBack) {
  std::unique_ptr<File> f = OpenOk(u"s", OpenMode::kReadWrite, kCreateNew);
  ASSERT_TRUE(f);
  uint32_t done = 0;
  ASSERT_TRUE(f->Write("aaaa", 4, &done));
  FileStamp before;
  ASSERT_TRUE(f->Stamp(&before));
  FileStamp same;
  ASSERT_TRUE(f->Stamp(&same));
  EXPECT_EQ(before, same);
  f.reset();
  Sleep(20);  // past the file system's time granularity
  HANDLE h = CreateFileW(reinterpret_cast<const wchar_t*>(dir_.Path(u"s").c_str()),
                         GENERIC_READ | GENERIC_WRITE | FILE_WRITE_ATTRIBUTES, 0, nullptr,
                         OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  FILETIME created, accessed, written;
  ASSERT_TRUE(GetFileTime(h, &created, &accessed, &written));
  DWORD put = 0;
  ASSERT_TRUE(WriteFile(h, "bbbb", 4, &put, nullptr));  // the same size
  ASSERT_TRUE(SetFileTime(h, &created, &accessed, &written));
  CloseHandle(h);
  f = OpenOk(u"s", OpenMode::kRead, kOpenExisting);
  ASSERT_TRUE(f);
  FileStamp after;
  ASSERT_TRUE(f->Stamp(&after));
  EXPECT_EQ(after.part[3], before.part[3]);  // the last-write time, set back
  EXPECT_NE(after, before);
}

// Sets the DACL of |name| from SDDL, protected from the folder's.
bool SetDacl(const std::u16string& path, const wchar_t* sddl) {
  PSECURITY_DESCRIPTOR sd = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &sd, nullptr)) {
    return false;
  }
  BOOL present = FALSE, defaulted = FALSE;
  PACL dacl = nullptr;
  GetSecurityDescriptorDacl(sd, &present, &dacl, &defaulted);
  const DWORD r = SetNamedSecurityInfoW(
      const_cast<wchar_t*>(reinterpret_cast<const wchar_t*>(path.c_str())), SE_FILE_OBJECT,
      DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, nullptr, nullptr, dacl,
      nullptr);
  LocalFree(sd);
  return r == ERROR_SUCCESS;
}

// The DACL of |path| as SDDL; empty when it cannot be read.
std::wstring DaclOf(const std::u16string& path) {
  PSECURITY_DESCRIPTOR sd = nullptr;
  PACL dacl = nullptr;
  if (GetNamedSecurityInfoW(reinterpret_cast<const wchar_t*>(path.c_str()), SE_FILE_OBJECT,
                            DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl, nullptr,
                            &sd) != ERROR_SUCCESS) {
    return L"";
  }
  wchar_t* text = nullptr;
  std::wstring out;
  if (ConvertSecurityDescriptorToStringSecurityDescriptorW(
          sd, SDDL_REVISION_1, DACL_SECURITY_INFORMATION, &text, nullptr)) {
    out = text;
    LocalFree(text);
  }
  LocalFree(sd);
  return out;
}

// The owner of |path| as a SID string; "?" when it cannot be read.
std::string OwnerOf(const std::u16string& path) {
  PSECURITY_DESCRIPTOR sd = nullptr;
  PSID owner = nullptr;
  if (GetNamedSecurityInfoW(reinterpret_cast<const wchar_t*>(path.c_str()), SE_FILE_OBJECT,
                            OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr, nullptr,
                            &sd) != ERROR_SUCCESS) {
    return "?";
  }
  wchar_t* text = nullptr;
  std::string out;
  if (ConvertSidToStringSidW(owner, &text)) {
    for (const wchar_t* p = text; *p; ++p) out += static_cast<char>(*p);
    LocalFree(text);
  }
  LocalFree(sd);
  return out;
}

// A companion made beside F has F's DACL; it is trusted while it gives
// write to no one F does not, and no longer when it does.
TEST_F(FileTest, CompanionsTakeTheFilesDacl) {
  // Every account may write F; SYSTEM and the administrators may do
  // anything. (Wine 8 keeps no DACL on a file: it maps one to the Unix
  // permission bits and back, which keeps write for everyone.)
  const wchar_t kOpenDacl[] = L"D:P(A;;FA;;;SY)(A;;FA;;;BA)(A;;FRFW;;;WD)";
  // The users may write F, everyone may read it.
  const wchar_t kClosedDacl[] = L"D:P(A;;FA;;;SY)(A;;FA;;;BA)(A;;FRFW;;;BU)(A;;FR;;;WD)";
  ASSERT_TRUE(OpenOk(u"F", OpenMode::kReadWrite, kCreateNew));
  ASSERT_TRUE(SetDacl(dir_.Path(u"F"), kOpenDacl));
  std::unique_ptr<File> f = OpenOk(u"F", OpenMode::kRead, kOpenExisting);
  ASSERT_TRUE(f);
  OpenError error = OpenError::kOther;
  std::unique_ptr<File> side(fs_->OpenBeside(f.get(), dir_.Path(u"F.new").c_str(),
                                             OpenMode::kReadWrite, kOpenAlways, &error));
  ASSERT_TRUE(side);
  EXPECT_EQ(DaclOf(dir_.Path(u"F.new")), DaclOf(dir_.Path(u"F")));
  EXPECT_EQ(side->TrustAsCompanionOf(f.get()), CompanionTrust::kTrusted);
  side.reset();

  // F closed to all but the users: the companion that everyone may write is
  // not trusted until it takes F's access again.
  ASSERT_TRUE(SetDacl(dir_.Path(u"F"), kClosedDacl));
  side = fs_->Open(dir_.Path(u"F.new").c_str(), OpenMode::kReadWrite, kOpenExisting, &error);
  ASSERT_TRUE(side);
  EXPECT_EQ(side->TrustAsCompanionOf(f.get()), CompanionTrust::kWritableByOthers);
  EXPECT_TRUE(side->TakeAccessOf(f.get()));  // while this handle shares nothing
  EXPECT_EQ(DaclOf(dir_.Path(u"F.new")), DaclOf(dir_.Path(u"F")));
  EXPECT_EQ(side->TrustAsCompanionOf(f.get()), CompanionTrust::kTrusted);
  // Given write to the users, as F is: still trusted.
  side.reset();
  ASSERT_TRUE(SetDacl(dir_.Path(u"F.new"), L"D:P(A;;FA;;;BA)(A;;FA;;;BU)"));
  side = fs_->Open(dir_.Path(u"F.new").c_str(), OpenMode::kRead, kOpenExisting, &error);
  ASSERT_TRUE(side);
  EXPECT_EQ(side->TrustAsCompanionOf(f.get()), CompanionTrust::kTrusted);
  // Owned by another account: not trusted; by the administrators: trusted.
  // (Wine reports success but keeps the owner it had: then nothing is
  // judged.)
  for (const auto& owner : {std::make_pair(L"S-1-5-21-1-2-3-1001", CompanionTrust::kForeignOwner),
                            std::make_pair(L"S-1-5-32-544", CompanionTrust::kTrusted)}) {
    side.reset();
    PSID sid = nullptr;
    ASSERT_TRUE(ConvertStringSidToSidW(owner.first, &sid));
    const DWORD r = SetNamedSecurityInfoW(
        const_cast<wchar_t*>(reinterpret_cast<const wchar_t*>(dir_.Path(u"F.new").c_str())),
        SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, sid, nullptr, nullptr, nullptr);
    LocalFree(sid);
    ASSERT_EQ(r, static_cast<DWORD>(ERROR_SUCCESS));
    side = fs_->Open(dir_.Path(u"F.new").c_str(), OpenMode::kRead, kOpenExisting, &error);
    ASSERT_TRUE(side);
    const std::wstring wanted = owner.first;
    if (OwnerOf(dir_.Path(u"F.new")) == std::string(wanted.begin(), wanted.end())) {
      EXPECT_EQ(side->TrustAsCompanionOf(f.get()), owner.second);
    }
  }
  // No DACL at all: everyone may write it. (Wine keeps no null DACL on a
  // file: it makes up one of its own, which is judged like any other.)
  side.reset();
  ASSERT_TRUE(SetDacl(dir_.Path(u"F.new"), L"D:NO_ACCESS_CONTROL"));
  side = fs_->Open(dir_.Path(u"F.new").c_str(), OpenMode::kRead, kOpenExisting, &error);
  ASSERT_TRUE(side);
  if (DaclOf(dir_.Path(u"F.new")) == L"D:NO_ACCESS_CONTROL") {
    EXPECT_EQ(side->TrustAsCompanionOf(f.get()), CompanionTrust::kWritableByOthers);
  }
}
#endif

}  // namespace
}  // namespace orvo::platform
