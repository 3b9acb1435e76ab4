// The four install operations, run against the real file layer: natively in
// a private folder named by ORVO_COMMON_APPDATA, under Wine in the prefix's
// machine-wide application-data folder.
#include "install/operations.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "install/external_config.h"
#include "install/record_layout.h"
#include "platform/file.h"
#include "platform/shell.h"
#include "store/config_file.h"
#include "store/key.h"
#include "store/ref.h"

#ifndef _WIN32
#include <unistd.h>
#endif

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

bool FileExists(const std::u16string& path) {
  platform::OpenError error;
  platform::File* f = CurrentFileSystem()->Open(path.c_str(), platform::OpenMode::kRead,
                                                platform::kOpenExisting, &error);
  delete f;
  return f != nullptr;
}

std::vector<uint8_t> FileBytes(const std::u16string& path) {
  platform::OpenError error;
  platform::File* f = CurrentFileSystem()->Open(path.c_str(), platform::OpenMode::kRead,
                                                platform::kOpenExisting, &error);
  std::vector<uint8_t> bytes;
  if (f == nullptr) return bytes;
  uint64_t size = 0;
  if (f->Size(&size)) {
    bytes.resize(size);
    uint32_t done = 0;
    if (!f->Read(bytes.data(), static_cast<uint32_t>(size), &done)) bytes.clear();
    bytes.resize(done);
  }
  delete f;
  return bytes;
}

void WriteFileBytes(const std::u16string& path, const std::vector<uint8_t>& bytes) {
  platform::OpenError error;
  platform::File* f = CurrentFileSystem()->Open(path.c_str(), platform::OpenMode::kReadWrite,
                                                platform::kCreateAlways, &error);
  ASSERT_NE(f, nullptr);
  uint32_t done = 0;
  ASSERT_TRUE(f->Write(bytes.data(), static_cast<uint32_t>(bytes.size()), &done));
  delete f;
}

std::u16string NameOf(ICfKey* key) {
  CfChar buf[256] = {};
  const int32_t n = key->GetName(buf, 256);
  return n > 0 ? std::u16string(buf, n) : std::u16string();
}

Values ReadValues(ICfKey* record) {
  Values values;
  for (ICfKey* k = record->GetFirstChild(); k != nullptr; k = k->MoveToNextSibling()) {
    std::vector<uint8_t> v(k->GetValueLength());
    k->GetValue(v.data(), static_cast<int32_t>(v.size()));
    values[NameOf(k)] = v;
  }
  return values;
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
  Snapshot s;
  CfRef<CConfigFile> file(CreateConfigFile(FilePath().c_str(), platform::kOpenExisting));
  if (!file) return s;
  {
    CfRef<ICfKey> apps(file->OpenKey(u"APP", false));
    if (apps) {
      for (ICfKey* r = apps->GetFirstChild(); r != nullptr; r = r->MoveToNextSibling()) {
        if (r->GetId(nullptr) != kAppRecordId || NameOf(r) != u"") ++s.app_record_id_mismatches;
        s.apps.push_back(ReadValues(r));
      }
    }
    CfRef<ICfKey> widgets(file->OpenKey(u"Widget", false));
    if (widgets) {
      for (ICfKey* r = widgets->GetFirstChild(); r != nullptr; r = r->MoveToNextSibling()) {
        s.widgets[NameOf(r)] = ReadValues(r);
      }
    }
  }
  EXPECT_EQ(file->LiveKeyCount(), 1);  // the walk left only the root key
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
  EXPECT_FALSE(FileExists(FilePath()));
  EXPECT_EQ(platform::BroadcastCount(), broadcasts);
}

TEST_F(OperationsTest, ApplicationRecordLayout) {
  const uint64_t broadcasts = platform::BroadcastCount();
  int32_t code = -5;
  EXPECT_EQ(App(u"C:\\Apps\\A\\a.exe", u"App", &code), kResultOk);
  EXPECT_EQ(code, 0);
  EXPECT_EQ(platform::BroadcastCount(), broadcasts + 1);
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

TEST_F(OperationsTest, LongMainProgramPathIsAddedEveryTime) {
  const std::u16string fits(259, u'p');  // 259 units + NUL = 520 bytes
  const std::u16string too_long(260, u'q');
  EXPECT_EQ(App(fits.c_str()), kResultOk);
  EXPECT_EQ(App(fits.c_str()), kResultDuplicate);
  EXPECT_EQ(App(too_long.c_str()), kResultOk);
  EXPECT_EQ(App(too_long.c_str()), kResultOk);
  EXPECT_EQ(Load().apps.size(), 3u);
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

TEST_F(OperationsTest, DamagedFileIsReplacedByANewTree) {
  ASSERT_EQ(App(u"first.exe"), kResultOk);
  std::vector<uint8_t> bytes = FileBytes(FilePath());
  ASSERT_GT(bytes.size(), 520u);
  bytes[520] ^= 0xFF;  // the checksum no longer matches
  WriteFileBytes(FilePath(), bytes);
  // The last save finished: its side file stands in for nothing. A new
  // tree, and the damaged bytes are kept beside the file.
  EXPECT_EQ(App(u"second.exe"), kResultOk);
  Snapshot s = Load();
  ASSERT_EQ(s.apps.size(), 1u);
  EXPECT_EQ(s.apps[0].at(u"MainProgramPath"), W(u"second.exe"));
  EXPECT_EQ(FileBytes(FilePath() + u".old"), bytes);

  // Damaged again, side file too: the newest damaged bytes are kept.
  bytes = FileBytes(FilePath());
  bytes[520] ^= 0xFF;
  WriteFileBytes(FilePath(), bytes);
  WriteFileBytes(FilePath() + u".new", bytes);
  EXPECT_EQ(App(u"third.exe"), kResultOk);
  s = Load();
  ASSERT_EQ(s.apps.size(), 1u);
  EXPECT_EQ(s.apps[0].at(u"MainProgramPath"), W(u"third.exe"));
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
    CfRef<ICfKey> apps(g_shared->OpenKey(u"APP", false));
    ASSERT_TRUE(apps);
    CfRef<ICfKey> record(apps->GetChildById(kAppRecordId, 0));
    ASSERT_TRUE(record);
    EXPECT_EQ(ReadValues(record.get()).at(u"MainProgramPath"), W(u"shared.exe"));
  }
  EXPECT_EQ(g_shared->Release(), 0);
  g_shared = nullptr;
  CurrentFileSystem()->Remove(other.c_str());
}

}  // namespace
}  // namespace orvo::install
