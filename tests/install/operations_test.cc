// The four install operations, run against the real file layer: natively in
// a private folder named by ORVO_COMMON_APPDATA, under Wine in the prefix's
// machine-wide application-data folder.
#include "install/operations.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "install/external_config.h"
#include "install/record_layout.h"
#include "platform/file.h"
#include "platform/machine_lock.h"
#include "platform/memory_file_system.h"
#include "platform/shell.h"
#include "store/config_file.h"
#include "store/key.h"
#include "store/ref.h"
#include "tests/testing/registration_records.h"
#include "tests/testing/scoped_file_system.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

using orvo::store::CreateConfigFile;

namespace orvo::install {
namespace {

using platform::CurrentFileSystem;
using Values = std::map<std::u16string, std::vector<uint8_t>>;

constexpr int32_t kInvalidArg = kResultInvalidArg;

std::u16string Folder() {
  char16_t buf[platform::kMaxPath] = {};
  EXPECT_TRUE(platform::CommonAppDataFolder(buf));
  std::u16string s(buf);
  if (!s.empty() && s.back() != u'\\') s += u'\\';
  return s + u"Tamsiver\\";
}

std::u16string FilePath() { return Folder() + u"InstallApp.set"; }

#ifdef _WIN32
const wchar_t* Wide(const std::u16string& s) { return reinterpret_cast<const wchar_t*>(s.c_str()); }
bool FolderExists(const std::u16string& path) {
  const DWORD a = GetFileAttributesW(Wide(path));
  return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY) != 0;
}
bool RemoveFolder(const std::u16string& path) { return RemoveDirectoryW(Wide(path)) != 0; }
// Removes the files that other programs' tests leave in |folder| (the
// prefix's machine-wide folder is shared; the test runs alone).
void RemoveFilesIn(const std::u16string& folder) {
  WIN32_FIND_DATAW found;
  HANDLE h = FindFirstFileW(Wide(folder + u"*"), &found);
  if (h == INVALID_HANDLE_VALUE) return;
  do {
    if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
      DeleteFileW(Wide(folder + reinterpret_cast<const char16_t*>(found.cFileName)));
    }
  } while (FindNextFileW(h, &found));
  FindClose(h);
}
#else
std::string Native(const std::u16string& s) {
  std::string out;
  for (char16_t c : s) out += c == u'\\' ? '/' : static_cast<char>(c);  // ASCII paths only
  while (!out.empty() && out.back() == '/') out.pop_back();
  return out;
}
bool FolderExists(const std::u16string& path) {
  struct stat st;
  return stat(Native(path).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}
bool RemoveFolder(const std::u16string& path) { return rmdir(Native(path).c_str()) == 0; }
#endif

bool FileExists(const std::u16string& path) {
  platform::OpenError error;
  std::unique_ptr<platform::File> f = CurrentFileSystem()->Open(
      path.c_str(), platform::OpenMode::kRead, platform::kOpenExisting, &error);
  return f != nullptr;
}

std::vector<uint8_t> FileBytes(const std::u16string& path) {
  platform::OpenError error;
  std::unique_ptr<platform::File> f = CurrentFileSystem()->Open(
      path.c_str(), platform::OpenMode::kRead, platform::kOpenExisting, &error);
  std::vector<uint8_t> bytes;
  if (f == nullptr) return bytes;
  uint64_t size = 0;
  if (f->Size(&size)) {
    bytes.resize(size);
    uint32_t done = 0;
    if (!f->Read(bytes.data(), static_cast<uint32_t>(size), &done)) bytes.clear();
    bytes.resize(done);
  }
  return bytes;
}

void WriteFileBytes(const std::u16string& path, const std::vector<uint8_t>& bytes) {
  platform::OpenError error;
  std::unique_ptr<platform::File> f = CurrentFileSystem()->Open(
      path.c_str(), platform::OpenMode::kReadWrite, platform::kCreateAlways, &error);
  ASSERT_NE(f, nullptr);
  uint32_t done = 0;
  ASSERT_TRUE(f->Write(bytes.data(), static_cast<uint32_t>(bytes.size()), &done));
}

std::vector<uint8_t> W(const std::u16string& s) {
  std::vector<uint8_t> v((s.size() + 1) * 2, 0);
  std::memcpy(v.data(), s.data(), s.size() * 2);
  return v;
}

std::vector<uint8_t> I4(int32_t x) {
  return {static_cast<uint8_t>(x), static_cast<uint8_t>(x >> 8), static_cast<uint8_t>(x >> 16),
          static_cast<uint8_t>(x >> 24)};
}

// The application records as stored, in order, and the widget records by
// key name. Opens the file read-only: a missing file gives nothing.
struct Snapshot {
  std::vector<Values> apps;
  std::map<std::u16string, Values> widgets;
  uint32_t app_record_id_mismatches = 0;
};

Snapshot Load() {
  const orvo::testing::RegistrationRecords records =
      orvo::testing::ReadRegistrationRecords(FilePath());
  Snapshot s;
  if (!records.loaded) return s;
  for (size_t i = 0; i < records.apps.size(); ++i) {
    if (records.app_ids[i] != kAppRecordId || records.app_names[i] != u"") {
      ++s.app_record_id_mismatches;
    }
  }
  s.apps = records.apps;
  s.widgets = records.widgets;
  EXPECT_EQ(records.live_keys_after_walk, 1);  // the walk left only the root key
  return s;
}

class OperationsTest : public ::testing::Test {
 protected:
  void SetUp() override {
#ifndef _WIN32
    char tmpl[] = "/tmp/orvo-ops-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    setenv("ORVO_COMMON_APPDATA", dir_.c_str(), 1);
#endif
    RemoveFiles();
    SetGetConfigForTesting(nullptr);
  }
  void TearDown() override {
    SetGetConfigForTesting(nullptr);
    RemoveFiles();
#ifndef _WIN32
    std::string cmd = "rm -rf '" + dir_ + "'";
    ASSERT_EQ(std::system(cmd.c_str()), 0);
#endif
  }

  // The file and its companions (side file, kept copy).
  static void RemoveFiles() {
    for (const char16_t* suffix : {u"", u".new", u".old"}) {
      CurrentFileSystem()->Remove((FilePath() + suffix).c_str());
    }
  }

  int32_t App(const char16_t* path, const char16_t* name = u"App", int32_t* code = nullptr) {
    return NotifyApplicationInstalled(u"setup.exe", name, u"1.0", u"C:\\Apps\\A", path, u"-x",
                                      u"C:\\Apps\\A\\a.ico", u"An app", code);
  }

  std::string dir_;
};

TEST_F(OperationsTest, FixedAnswers) {
  int32_t installed = 0;
  EXPECT_EQ(CheckTamsiverInstalled(&installed), kResultOk);
  EXPECT_EQ(installed, 1);
  EXPECT_EQ(CheckTamsiverInstalled(nullptr), kResultOk);
  int a = 7, b = 8, c = 9, d = 10;
  EXPECT_EQ(GetTamsiverInformation(&a, &b, &c, &d), kResultOk);
  EXPECT_EQ(a + b + c + d, 34);
  EXPECT_EQ(GetTamsiverInformation(nullptr, nullptr, nullptr, nullptr), kResultOk);
}

TEST_F(OperationsTest, MissingArgumentsChangeNothing) {
#ifdef _WIN32
  RemoveFilesIn(Folder());
#endif
  RemoveFolder(Folder() + u"Temp");
  RemoveFolder(Folder());
  ASSERT_FALSE(FolderExists(Folder()));
  const uint64_t broadcasts = platform::BroadcastCount();
  struct Case {
    const char16_t* name;
    const char16_t* path;
    const char16_t* icon;
    int32_t w, h;
  };
  const Case cases[] = {{nullptr, u"p", u"i", 1, 1},
                        {u"n", nullptr, u"i", 1, 1},
                        {u"n", u"p", nullptr, 1, 1},
                        {u"n", u"p", u"i", 0, 1},
                        {u"n", u"p", u"i", 1, 0}};
  for (const Case& c : cases) {
    int32_t code = -5;
    EXPECT_EQ(NotifyWidgetInstalled(nullptr, c.name, nullptr, nullptr, c.path, c.icon, nullptr, c.w,
                                    c.h, &code),
              kInvalidArg);
    EXPECT_EQ(code, 1);
    EXPECT_EQ(NotifyWidgetInstalled(nullptr, c.name, nullptr, nullptr, c.path, c.icon, nullptr, c.w,
                                    c.h, nullptr),
              kInvalidArg);
    if (c.w == 0 || c.h == 0) continue;
    code = -5;
    EXPECT_EQ(NotifyApplicationInstalled(nullptr, c.name, nullptr, nullptr, c.path, nullptr, c.icon,
                                         nullptr, &code),
              kInvalidArg);
    EXPECT_EQ(code, 1);
  }
  EXPECT_FALSE(FolderExists(Folder()));  // not even the folders
  EXPECT_FALSE(FileExists(FilePath()));
  EXPECT_EQ(platform::BroadcastCount(), broadcasts);
}

TEST_F(OperationsTest, ApplicationRecordLayout) {
  const uint64_t broadcasts = platform::BroadcastCount();
  int32_t code = -5;
  EXPECT_EQ(App(u"C:\\Apps\\A\\a.exe", u"App", &code), kResultOk);
  EXPECT_EQ(code, 0);
  EXPECT_EQ(platform::BroadcastCount(), broadcasts + 1);
  EXPECT_TRUE(FolderExists(Folder() + u"Temp"));
  // Optional texts: null leaves the value out, empty writes the terminator.
  EXPECT_EQ(NotifyApplicationInstalled(nullptr, u"B", nullptr, u"", u"C:\\b.exe", nullptr, u"b.ico",
                                       nullptr, nullptr),
            kResultOk);

  const Snapshot s = Load();
  ASSERT_EQ(s.apps.size(), 2u);
  EXPECT_EQ(s.app_record_id_mismatches, 0u);
  const Values expected_a = {{u"Name", W(u"App")},
                             {u"MainProgramPath", W(u"C:\\Apps\\A\\a.exe")},
                             {u"MainIcon", W(u"C:\\Apps\\A\\a.ico")},
                             {u"Version", W(u"1.0")},
                             {u"InstallDir", W(u"C:\\Apps\\A")},
                             {u"Desc", W(u"An app")},
                             {u"Caller", W(u"setup.exe")},
                             {u"Param", W(u"-x")}};
  EXPECT_EQ(s.apps[0], expected_a);
  const Values expected_b = {{u"Name", W(u"B")},
                             {u"MainProgramPath", W(u"C:\\b.exe")},
                             {u"MainIcon", W(u"b.ico")},
                             {u"InstallDir", {0, 0}}};
  EXPECT_EQ(s.apps[1], expected_b);
}

TEST_F(OperationsTest, DuplicateApplicationIsNotWrittenAgain) {
  ASSERT_EQ(App(u"C:\\Apps\\A\\a.exe"), kResultOk);
  const std::vector<uint8_t> before = FileBytes(FilePath());
  const uint64_t broadcasts = platform::BroadcastCount();
  int32_t code = -5;
  EXPECT_EQ(App(u"c:\\APPS\\a\\A.EXE", u"Other", &code), kResultDuplicate);
  EXPECT_EQ(code, kResultDuplicate);
  EXPECT_EQ(App(u"c:\\apps\\a\\a.exe"), kResultDuplicate);
  EXPECT_EQ(FileBytes(FilePath()), before);
  EXPECT_EQ(platform::BroadcastCount(), broadcasts);
  // Only ASCII letters fold: a different non-ASCII letter is a new program.
  EXPECT_EQ(App(u"C:\\\u00C4.exe"), kResultOk);
  EXPECT_EQ(App(u"C:\\\u00E4.exe"), kResultOk);
  EXPECT_EQ(Load().apps.size(), 3u);
}

TEST_F(OperationsTest, LongMainProgramPathIsFoundAgain) {
  const std::u16string fits(259, u'p');  // 259 units + NUL = 520 bytes
  const std::u16string longer(260, u'q');
  EXPECT_EQ(App(fits.c_str()), kResultOk);
  EXPECT_EQ(App(fits.c_str()), kResultDuplicate);
  EXPECT_EQ(App(longer.c_str()), kResultOk);
  EXPECT_EQ(App(longer.c_str()), kResultDuplicate);
  EXPECT_EQ(Load().apps.size(), 2u);
}

TEST_F(OperationsTest, TextsTooLongForAValueAreLeftOut) {
  const std::u16string huge(32767, u'h');
  const std::u16string largest(32766, u'l');
  EXPECT_EQ(NotifyApplicationInstalled(nullptr, u"Big", nullptr, nullptr, u"big.exe", nullptr, u"i",
                                       huge.c_str(), nullptr),
            kResultOk);
  EXPECT_EQ(NotifyApplicationInstalled(nullptr, u"Big2", nullptr, nullptr, u"big2.exe", nullptr,
                                       u"i", largest.c_str(), nullptr),
            kResultOk);
  const Snapshot s = Load();
  ASSERT_EQ(s.apps.size(), 2u);
  EXPECT_EQ(s.apps[0].count(u"Desc"), 0u);
  EXPECT_EQ(s.apps[1].at(u"Desc").size(), 65534u);
}

TEST_F(OperationsTest, WidgetRecordIsReplacedWhole) {
  int32_t code = -5;
  EXPECT_EQ(NotifyWidgetInstalled(u"inst", u"Clock", u"2", u"D", u"clock.exe", u"clock.ico", u"old",
                                  100, -20, &code),
            kResultOk);
  EXPECT_EQ(code, 0);
  EXPECT_EQ(NotifyWidgetInstalled(nullptr, u"CLOCK", nullptr, nullptr, u"c2.exe", u"c2.ico",
                                  nullptr, 5, 6, &code),
            kResultOk);
  const Snapshot s = Load();
  ASSERT_EQ(s.widgets.size(), 1u);
  const Values expected = {{u"Name", W(u"CLOCK")},
                           {u"MainProgramPath", W(u"c2.exe")},
                           {u"MainIcon", W(u"c2.ico")},
                           {u"W", I4(5)},
                           {u"H", I4(6)}};
  EXPECT_EQ(s.widgets.begin()->second, expected);
}

TEST_F(OperationsTest, WidgetNamesFollowKeyNameRules) {
  EXPECT_EQ(NotifyWidgetInstalled(nullptr, u"Dock\\Left", nullptr, nullptr, u"d.exe", u"d.ico",
                                  nullptr, -1, -1, nullptr),
            kResultOk);
  Snapshot s = Load();
  ASSERT_EQ(s.widgets.count(u"Dock"), 1u);
  EXPECT_EQ(s.widgets[u"Dock"][u"Name"], W(u"Dock\\Left"));
  EXPECT_EQ(s.widgets[u"Dock"][u"W"], I4(-1));

  const uint64_t broadcasts = platform::BroadcastCount();
  int32_t code = 0;
  EXPECT_EQ(
      NotifyWidgetInstalled(nullptr, u"a<b", nullptr, nullptr, u"x", u"y", nullptr, 1, 1, &code),
      kInvalidArg);
  EXPECT_EQ(code, kInvalidArg);
  EXPECT_EQ(platform::BroadcastCount(), broadcasts + 1);  // saved and posted all the same
  EXPECT_EQ(Load().widgets.size(), 1u);
}

TEST_F(OperationsTest, ADamagedFileKeepsWhatStillParses) {
  ASSERT_EQ(App(u"first.exe"), kResultOk);
  std::vector<uint8_t> bytes = FileBytes(FilePath());
  ASSERT_GT(bytes.size(), 520u);
  bytes[bytes.size() - 3] ^= 0x01;  // a character of the last value: the checksum no longer matches
  WriteFileBytes(FilePath(), bytes);
  // The last save finished: its side file stands in for nothing. The records
  // that parse are kept, and the damaged bytes beside the file.
  EXPECT_EQ(App(u"second.exe"), kResultOk);
  Snapshot s = Load();
  ASSERT_EQ(s.apps.size(), 2u);
  EXPECT_EQ(s.apps[0].at(u"Name"), W(u"App"));
  EXPECT_EQ(s.apps[1].at(u"MainProgramPath"), W(u"second.exe"));
  EXPECT_EQ(FileBytes(FilePath() + u".old"), bytes);

  // Damaged again, side file too: the newest damaged bytes are kept.
  bytes = FileBytes(FilePath());
  bytes[bytes.size() - 3] ^= 0x01;
  WriteFileBytes(FilePath(), bytes);
  WriteFileBytes(FilePath() + u".new", bytes);
  EXPECT_EQ(App(u"third.exe"), kResultOk);
  s = Load();
  ASSERT_EQ(s.apps.size(), 3u);
  EXPECT_EQ(s.apps[2].at(u"MainProgramPath"), W(u"third.exe"));
  EXPECT_EQ(FileBytes(FilePath() + u".old"), bytes);
}

// A file object handed out by the outside component, shared with the test.
CConfigFile* g_shared = nullptr;
int g_get_config_calls = 0;
IConfigFile* SharedConfig() {
  ++g_get_config_calls;
  g_shared->AddRef();
  return g_shared;
}

TEST_F(OperationsTest, FileObjectFromOutsideIsUsedAndGivenBack) {
  const std::u16string other = Folder() + u"Shared.set";
  CurrentFileSystem()->Remove(other.c_str());
  CurrentFileSystem()->CreateFolder(Folder().c_str());
  g_shared = CreateConfigFile(other.c_str(), platform::kOpenAlways);
  ASSERT_NE(g_shared, nullptr);
  g_get_config_calls = 0;
  SetGetConfigForTesting(&SharedConfig);

  EXPECT_EQ(App(u"shared.exe"), kResultOk);
  EXPECT_EQ(App(u"SHARED.exe"), kResultDuplicate);
  EXPECT_EQ(
      NotifyWidgetInstalled(nullptr, u"W", nullptr, nullptr, u"w", u"w", nullptr, 1, 1, nullptr),
      kResultOk);
  EXPECT_EQ(g_get_config_calls, 3);
  EXPECT_FALSE(FileExists(FilePath()));  // nothing opened on the composed path
  EXPECT_TRUE(FileExists(other));        // saved where the object is bound
  std::string why;
  EXPECT_TRUE(g_shared->CheckInvariants(&why)) << why;
  EXPECT_EQ(g_shared->LiveKeyCount(), 1);  // only the root key the object keeps
  EXPECT_LE(g_shared->PoolSize(), 5);
  EXPECT_EQ(g_shared->AddRef(), 2);  // the operations gave back their references
  g_shared->Release();
  {
    auto apps = CfRef<ICfKey>::Adopt(g_shared->OpenKey(u"APP", false));
    ASSERT_TRUE(apps);
    auto record = CfRef<ICfKey>::Adopt(apps->GetChildById(kAppRecordId, 0));
    ASSERT_TRUE(record);
    EXPECT_EQ(orvo::testing::ReadRecordValues(record.get()).at(u"MainProgramPath"),
              W(u"shared.exe"));
  }
  EXPECT_EQ(g_shared->Release(), 0);
  g_shared = nullptr;
  CurrentFileSystem()->Remove(other.c_str());
  CurrentFileSystem()->Remove((other + u".new").c_str());
}

// --- Gaps a one-line change would slip through ---------------------------------

TEST_F(OperationsTest, UnterminatedStoredPathNeverMatches) {
  // A "MainProgramPath" of 260 units without a terminator fills the 520-byte
  // buffer exactly; compared as text it would run past the buffer.
  const std::u16string stored(260, u'P');
  CurrentFileSystem()->CreateFolder(Folder().c_str());
  {
    auto file =
        CfRef<CConfigFile>::Adopt(CreateConfigFile(FilePath().c_str(), platform::kCreateAlways));
    ASSERT_TRUE(file);
    auto record = CfRef<ICfKey>::Adopt(file->OpenKey(u"APP", true));
    ASSERT_TRUE(record);
    auto app = CfRef<ICfKey>::Adopt(
        record->CreateChildWithId(kAppRecordId, false, CfTypeNone, nullptr, 0));
    ASSERT_TRUE(app);
    auto path = CfRef<ICfKey>::Adopt(
        app->CreateChild(u"MainProgramPath", CfTypeBinary, stored.data(), 520));
    ASSERT_TRUE(path);
    ASSERT_TRUE(file->Save(nullptr));
  }
  const std::u16string same_letters(260, u'p');
  EXPECT_EQ(App(same_letters.c_str()), kResultOk);
  // Not the unterminated record's path: the one just written, letter case aside.
  EXPECT_EQ(App(stored.c_str()), kResultDuplicate);
  EXPECT_EQ(Load().apps.size(), 2u);
}

// Calls that cannot be honoured as asked fail before anything is written,
// with a result that says why: nothing saved, nothing broadcast.
TEST_F(OperationsTest, CallsThatCannotBeHonouredChangeNothing) {
  ASSERT_EQ(App(u"first.exe"), kResultOk);
  const std::u16string huge(40000, u'x');
  const std::u16string most(kMaxArgumentUnits, u'y');
  const char16_t* h = huge.c_str();
  const struct {
    const char* what;
    Result (*call)(const char16_t* h, int32_t* code);
  } kCases[] = {
      {"app name too long",
       [](const char16_t* h, int32_t* c) {
         return NotifyApplicationInstalled(nullptr, h, nullptr, nullptr, u"a.exe", nullptr,
                                           u"a.ico", nullptr, c);
       }},
      {"app path too long",
       [](const char16_t* h, int32_t* c) {
         return NotifyApplicationInstalled(nullptr, u"A", nullptr, nullptr, h, nullptr, u"a.ico",
                                           nullptr, c);
       }},
      {"app icon too long",
       [](const char16_t* h, int32_t* c) {
         return NotifyApplicationInstalled(nullptr, u"A", nullptr, nullptr, u"a.exe", nullptr, h,
                                           nullptr, c);
       }},
      {"widget path too long",
       [](const char16_t* h, int32_t* c) {
         return NotifyWidgetInstalled(nullptr, u"W", nullptr, nullptr, h, u"w.ico", nullptr, 1, 1,
                                      c);
       }},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.what);
    const std::vector<uint8_t> before = FileBytes(FilePath());
    const uint64_t broadcasts = platform::BroadcastCount();
    int32_t code = 0;
    EXPECT_EQ(c.call(h, &code), kInvalidArg);
    EXPECT_EQ(code, kInvalidArg);
    EXPECT_EQ(FileBytes(FilePath()), before);
    EXPECT_EQ(platform::BroadcastCount(), broadcasts);
  }
  // The longest text that fits is stored whole, and a long path is seen by
  // the duplicate test.
  EXPECT_EQ(App(most.c_str()), kResultOk);
  EXPECT_EQ(App(most.c_str()), kResultDuplicate);
  const std::u16string path(1000, u'p');
  EXPECT_EQ(App(path.c_str()), kResultOk);
  EXPECT_EQ(App((std::u16string(1000, u'P')).c_str()), kResultDuplicate);
  EXPECT_EQ(Load().apps.size(), 3u);

  // A newer version's file is neither read nor replaced.
  std::vector<uint8_t> newer = FileBytes(FilePath());
  newer[4] = 0x06;  // version 0x10006
  WriteFileBytes(FilePath(), newer);
  const uint64_t broadcasts = platform::BroadcastCount();
  int32_t code = 0;
  EXPECT_EQ(App(u"second.exe", u"App", &code), kResultNewerFormat);
  EXPECT_EQ(code, kResultNewerFormat);
  EXPECT_EQ(FileBytes(FilePath()), newer);
  EXPECT_EQ(platform::BroadcastCount(), broadcasts);

  // A file that another program holds: the open says so, as a save does.
  newer[4] = 0x05;
  WriteFileBytes(FilePath(), newer);
  platform::OpenError error;
  std::unique_ptr<platform::File> held(platform::RealFileSystem()->Open(
      FilePath().c_str(), platform::OpenMode::kReadWrite, platform::kOpenExisting, &error));
  ASSERT_TRUE(held);
  EXPECT_EQ(App(u"second.exe"), kResultSharingViolation);
  held.reset();
  EXPECT_EQ(App(u"second.exe"), kResultOk);
}

TEST_F(OperationsTest, SectionMadeDuringACallIsSavedWhenTheRecordIsNot) {
  const uint64_t broadcasts = platform::BroadcastCount();
  int32_t code = 0;
  EXPECT_EQ(
      NotifyWidgetInstalled(nullptr, u"<x>", nullptr, nullptr, u"x", u"y", nullptr, 1, 1, &code),
      kInvalidArg);
  EXPECT_EQ(code, kInvalidArg);
  EXPECT_EQ(platform::BroadcastCount(), broadcasts + 1);
  auto file =
      CfRef<CConfigFile>::Adopt(CreateConfigFile(FilePath().c_str(), platform::kOpenExisting));
  ASSERT_TRUE(file);
  auto widgets = CfRef<ICfKey>::Adopt(file->OpenKey(u"Widget", false));
  ASSERT_TRUE(widgets);
  EXPECT_EQ(CfRef<ICfKey>::Adopt(widgets->GetFirstChild()).get(), nullptr);
}

// A file object of another module whose root key is missing or unusable.
class BrokenConfig final : public IConfigFile {
 public:
  explicit BrokenConfig(ICfKey* root) : root_(root) {}
  int32_t CF_CALL AddRef() override { return ++refs_; }
  int32_t CF_CALL Release() override { return --refs_; }
  const CfChar* CF_CALL GetClassName() override { return u"BrokenConfig"; }
  int32_t CF_CALL IsClassName(const CfChar*) override { return 0; }
  ICfKey* CF_CALL GetRootKey() override {
    if (root_ != nullptr) root_->AddRef();
    return root_;
  }
  ICfKey* CF_CALL OpenKey(const CfChar*, bool) override { return nullptr; }
  bool CF_CALL Save(const CfChar*) override {
    ++saves_;
    return true;
  }
  void* CF_CALL DeletingDestructor(uint32_t) override { return this; }

  int32_t refs_ = 1;
  int saves_ = 0;

 private:
  ICfKey* root_;
};

BrokenConfig* g_broken = nullptr;
IConfigFile* BrokenConfigFn() {
  g_broken->AddRef();
  return g_broken;
}

TEST_F(OperationsTest, NoFileRootOrSectionSavesAndPostsNothing) {
  // No file object: nothing from outside, and the file cannot be opened (a
  // folder stands in its place).
  ASSERT_TRUE(CurrentFileSystem()->CreateFolder(Folder().c_str()) || FolderExists(Folder()));
  ASSERT_TRUE(CurrentFileSystem()->CreateFolder(FilePath().c_str()));
  const uint64_t broadcasts = platform::BroadcastCount();
  int32_t code = 0;
  EXPECT_EQ(App(u"a.exe", u"A", &code), kInvalidArg);
  EXPECT_EQ(code, kInvalidArg);
  EXPECT_EQ(
      NotifyWidgetInstalled(nullptr, u"W", nullptr, nullptr, u"w", u"w", nullptr, 1, 1, &code),
      kInvalidArg);
  EXPECT_EQ(code, kInvalidArg);
  EXPECT_EQ(platform::BroadcastCount(), broadcasts);
  EXPECT_TRUE(RemoveFolder(FilePath()));

  // No root key; then a root key that can hold no section (it was deleted).
  auto other = CfRef<CConfigFile>::Adopt(CreateConfigFile(nullptr, platform::kOpenAlways));
  ASSERT_TRUE(other);
  auto gone = CfRef<ICfKey>::Adopt(other->OpenKey(u"Gone", true));
  ASSERT_TRUE(gone);
  ASSERT_TRUE(gone->Delete());
  for (ICfKey* root : {static_cast<ICfKey*>(nullptr), gone.get()}) {
    BrokenConfig broken(root);
    g_broken = &broken;
    SetGetConfigForTesting(&BrokenConfigFn);
    code = 0;
    EXPECT_EQ(App(u"a.exe", u"A", &code), kInvalidArg);
    EXPECT_EQ(code, kInvalidArg);
    EXPECT_EQ(
        NotifyWidgetInstalled(nullptr, u"W", nullptr, nullptr, u"w", u"w", nullptr, 1, 1, &code),
        kInvalidArg);
    EXPECT_EQ(code, kInvalidArg);
    EXPECT_EQ(broken.saves_, 0);
    EXPECT_EQ(broken.refs_, 1);  // every reference given back
    EXPECT_EQ(platform::BroadcastCount(), broadcasts);
    SetGetConfigForTesting(nullptr);
  }
  EXPECT_FALSE(FileExists(FilePath()));
}

// --- Failures are reported ----------------------------------------------------

// What a failed notification must leave as it was.
struct Unchanged {
  std::vector<uint8_t> file = FileBytes(FilePath());
  uint64_t broadcasts = platform::BroadcastCount();
  void Check() const {
    EXPECT_EQ(FileBytes(FilePath()), file);
    EXPECT_EQ(platform::BroadcastCount(), broadcasts);
  }
};

TEST_F(OperationsTest, FailedSaveReportsItsCause) {
  platform::MemoryFileSystem memory;
  const orvo::testing::ScopedFileSystem swap(&memory);
  swap.previous()->CreateFolder(Folder().c_str());  // natively the lock file lives there
  using Faults = platform::MemoryFileSystem::Faults;
  const struct {
    const char* what;
    Faults faults;
    bool reader_holds_file;
    int32_t expected;
  } cases[] = {
      {"read-only file",
       [] {
         Faults f;
         f.read_only = true;
         return f;
       }(),
       false, kResultAccessDenied},
      {"disk full",
       [] {
         Faults f;
         f.fail_write_call = 1;
         f.cause = platform::FileFailure::kDiskFull;
         return f;
       }(),
       false, kResultDiskFull},
      {"held by a reader", Faults(), true, kResultSharingViolation},
      {"flush fails",
       [] {
         Faults f;
         f.fail_flush_call = 1;
         return f;
       }(),
       false, kResultFail},
  };
  int records = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    memory.faults = Faults();
    ASSERT_EQ(App((u"before" + std::u16string(1, static_cast<char16_t>(u'0' + records))).c_str()),
              kResultOk);
    ++records;
    const Unchanged before;
    // Each call meets the faults afresh (call numbers count from 1).
    auto faulty = [&] {
      memory.counts = platform::MemoryFileSystem::Counts();
      memory.faults = c.faults;
    };
    platform::OpenError error;
    std::unique_ptr<platform::File> reader(
        c.reader_holds_file ? memory.Open(FilePath().c_str(), platform::OpenMode::kRead,
                                          platform::kOpenExisting, &error)
                            : nullptr);
    int32_t code = 0;
    faulty();
    EXPECT_EQ(App(u"failed.exe", u"F", &code), c.expected);
    EXPECT_EQ(code, c.expected);
    faulty();
    EXPECT_EQ(
        NotifyWidgetInstalled(nullptr, u"W", nullptr, nullptr, u"w", u"w", nullptr, 1, 1, nullptr),
        c.expected);
    reader.reset();
    memory.faults = Faults();
    before.Check();
  }
  // Nothing of the failed calls was kept.
  EXPECT_EQ(Load().apps.size(), static_cast<size_t>(records));
  EXPECT_TRUE(Load().widgets.empty());
}

#ifdef _WIN32
// Wine, run as root, writes a file marked read-only all the same; a program
// that holds the file past the save's wait is the real file here.
TEST_F(OperationsTest, FileHeldPastTheWaitIsReportedAsSharingViolation) {
  ASSERT_EQ(App(u"first.exe"), kResultOk);
  // Shares reading only: the operation can read the file but not write it.
  HANDLE holder = CreateFileW(Wide(FilePath()), GENERIC_READ, FILE_SHARE_READ, nullptr,
                              OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(holder, INVALID_HANDLE_VALUE);
  const Unchanged before;
  int32_t code = 0;
  EXPECT_EQ(App(u"second.exe", u"S", &code), kResultSharingViolation);
  EXPECT_EQ(code, kResultSharingViolation);
  CloseHandle(holder);
  before.Check();
  EXPECT_EQ(App(u"second.exe"), kResultOk);
}
#else
// The file of an administrator's installer, run by a standard user: as root,
// the call runs in a child that becomes "nobody"; otherwise the file is made
// read-only.
TEST_F(OperationsTest, FileThatCannotBeWrittenIsReportedAsAccessDenied) {
  ASSERT_EQ(App(u"first.exe"), kResultOk);
  ASSERT_EQ(chmod(dir_.c_str(), 0755), 0);
  if (getuid() != 0) {
    ASSERT_EQ(chmod(Native(FilePath()).c_str(), 0444), 0);
  }
  const Unchanged before;
  int pipe_fds[2];
  ASSERT_EQ(pipe(pipe_fds), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    close(pipe_fds[0]);
    if (getuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(2);
    int32_t out[3] = {0, 0, 0};
    out[0] = App(u"second.exe", u"S", &out[1]);
    out[2] = static_cast<int32_t>(platform::BroadcastCount() - before.broadcasts);
    _exit(write(pipe_fds[1], out, sizeof(out)) == sizeof(out) ? 0 : 3);
  }
  close(pipe_fds[1]);
  int32_t out[3] = {0, 0, -1};
  EXPECT_EQ(read(pipe_fds[0], out, sizeof(out)), static_cast<ssize_t>(sizeof(out)));
  close(pipe_fds[0]);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_EQ(out[0], kResultAccessDenied);
  EXPECT_EQ(out[1], kResultAccessDenied);
  EXPECT_EQ(out[2], 0);  // nothing posted
  before.Check();
}
#endif

// Holds the machine-wide lock of the registration file for its lifetime, as
// another installer would: natively through a descriptor of its own, on
// Windows on a thread of its own (a mutex is re-entrant for its owner).
class OtherInstaller {
 public:
  OtherInstaller() {
    CurrentFileSystem()->CreateFolder(Folder().c_str());
#ifdef _WIN32
    ready_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    done_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    thread_ = CreateThread(nullptr, 0, &Hold, this, 0, nullptr);
    WaitForSingleObject(ready_, INFINITE);
#else
    lock_ = std::make_unique<platform::MachineLock>(kRegistrationMutex, LockPath().c_str(), 0);
    held_ = lock_->held();
#endif
  }
  ~OtherInstaller() {
#ifdef _WIN32
    SetEvent(done_);
    WaitForSingleObject(thread_, INFINITE);
    CloseHandle(thread_);
    CloseHandle(done_);
    CloseHandle(ready_);
#endif
  }
  bool held() const { return held_; }

 private:
  static std::u16string LockPath() { return FilePath() + u".lock"; }
#ifdef _WIN32
  static DWORD WINAPI Hold(void* p) {
    auto* self = static_cast<OtherInstaller*>(p);
    platform::MachineLock lock(kRegistrationMutex, nullptr, 0);
    self->held_ = lock.held();
    SetEvent(self->ready_);
    WaitForSingleObject(self->done_, INFINITE);
    return 0;
  }
  HANDLE ready_ = nullptr, done_ = nullptr, thread_ = nullptr;
#else
  std::unique_ptr<platform::MachineLock> lock_;
#endif
  bool held_ = false;
};

TEST_F(OperationsTest, LockHeldElsewhereFailsWithTimeout) {
  ASSERT_EQ(App(u"first.exe"), kResultOk);
  const uint32_t bound = SetRegistrationLockTimeoutForTesting(50);
  {
    OtherInstaller other;
    ASSERT_TRUE(other.held());
    const Unchanged before;
    int32_t code = 0;
    EXPECT_EQ(App(u"second.exe", u"S", &code), kResultTimeout);
    EXPECT_EQ(code, kResultTimeout);
    EXPECT_EQ(
        NotifyWidgetInstalled(nullptr, u"W", nullptr, nullptr, u"w", u"w", nullptr, 1, 1, &code),
        kResultTimeout);
    EXPECT_EQ(code, kResultTimeout);
    before.Check();
  }
  EXPECT_EQ(App(u"second.exe"), kResultOk);  // once it is free again
  SetRegistrationLockTimeoutForTesting(bound);
}

#ifndef _WIN32
// Every user can create names in the registration folder. A symbolic or hard
// link planted at the file, its side file, its kept copy or its lock file
// makes the call fail, and the link's target keeps its bytes.
TEST_F(OperationsTest, PlantedLinksAreRefused) {
  const std::string victim = dir_ + "/victim";
  const std::string secret = "bytes that belong to someone else";
  const struct {
    const char16_t* suffix;
    bool damaged_file;  // the kept copy is written only over unreadable content
    int32_t expected;
  } names[] = {
      {u"", false, kInvalidArg},  // the file cannot be opened at all
      {u".new", false, kResultNameInTheWay},
      {u".old", true, kResultNameInTheWay},
      {u".lock", false, kResultAccessDenied},
  };
  for (const auto& n : names) {
    for (bool symbolic : {true, false}) {
      SCOPED_TRACE(std::string(symbolic ? "symbolic link at " : "hard link at ") +
                   Native(n.suffix));
      RemoveFiles();
      CurrentFileSystem()->Remove((FilePath() + u".lock").c_str());
      ASSERT_EQ(App(u"first.exe"), kResultOk);
      if (n.damaged_file) {
        CurrentFileSystem()->Remove((FilePath() + u".new").c_str());
        WriteFileBytes(FilePath(), std::vector<uint8_t>(600, 0x5A));
      }
      const std::string planted = Native(FilePath() + n.suffix);
      unlink(planted.c_str());
      {
        FILE* f = std::fopen(victim.c_str(), "wb");
        ASSERT_NE(f, nullptr);
        std::fputs(secret.c_str(), f);
        std::fclose(f);
      }
      ASSERT_EQ(symbolic ? symlink(victim.c_str(), planted.c_str())
                         : link(victim.c_str(), planted.c_str()),
                0);
      const Unchanged before;
      int32_t code = 0;
      EXPECT_EQ(App(u"second.exe", u"S", &code), n.expected);
      EXPECT_EQ(code, n.expected);
      if (n.suffix[0] != 0) before.Check();
      EXPECT_EQ(platform::BroadcastCount(), before.broadcasts);
      char buf[100] = {};
      FILE* f = std::fopen(victim.c_str(), "rb");
      ASSERT_NE(f, nullptr);
      const size_t got = std::fread(buf, 1, sizeof(buf), f);
      std::fclose(f);
      EXPECT_EQ(std::string(buf, got), secret);
      unlink(planted.c_str());
    }
  }
}
#endif

}  // namespace
}  // namespace orvo::install
