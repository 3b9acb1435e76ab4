// One table over the operations that update and remove registrations, run
// by every channel that reaches them: the operations themselves, and the
// automation interface by slot and by name. Each case starts from the same
// file (three applications, one of them recorded twice as older files may
// hold it, three widgets), makes one call and checks its result, its error
// code, the records left and whether the file was written.
#ifndef ORVO_TESTS_INSTALL_RECORD_LIFE_CASES_H_
#define ORVO_TESTS_INSTALL_RECORD_LIFE_CASES_H_

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "install/operations.h"
#include "install/record_layout.h"
#include "platform/file.h"
#include "platform/shell.h"
#include "store/config_file.h"
#include "store/key.h"
#include "store/node.h"
#include "store/ref.h"
#include "tests/testing/registration_records.h"

using orvo::store::CreateConfigFile;

namespace orvo::record_life {

using Bytes = std::vector<uint8_t>;
using Values = std::map<std::u16string, Bytes>;
using Text = std::optional<std::u16string>;  // nullopt: not given

constexpr int32_t kOk = install::kResultOk;
constexpr int32_t kNothing = install::kResultNothingToRemove;
constexpr int32_t kInvalid = install::kResultInvalidArg;
constexpr int32_t kDenied = install::kResultAccessDenied;

inline std::u16string RegistrationFile() {
  char16_t folder[platform::kMaxPath] = {};
  EXPECT_TRUE(platform::CommonAppDataFolder(folder));
  std::u16string path(folder);
  if (!path.empty() && path.back() != u'\\') path += u'\\';
  return path + install::kSuiteFolder + install::kRegistrationFile;
}

inline Bytes Stored(const std::u16string& text) {
  Bytes b((text.size() + 1) * 2, 0);
  for (size_t i = 0; i < text.size(); ++i) {
    b[2 * i] = static_cast<uint8_t>(text[i]);
    b[2 * i + 1] = static_cast<uint8_t>(text[i] >> 8);
  }
  return b;
}

// The arguments of NotifyApplicationInstalled and NotifyApplicationUpdated.
struct AppArgs {
  Text call_name, name, version, install_dir, main_program_path, param, main_icon_path, desc;

  Values Record() const {
    Values v;
    const std::pair<const char16_t*, const Text*> slots[] = {
        {install::kValueName, &name},
        {install::kValueMainProgramPath, &main_program_path},
        {install::kValueMainIcon, &main_icon_path},
        {install::kValueVersion, &version},
        {install::kValueInstallDir, &install_dir},
        {install::kValueDesc, &desc},
        {install::kValueCaller, &call_name},
        {install::kValueParam, &param}};
    for (const auto& [value_name, text] : slots) {
      if (*text) v[value_name] = Stored(**text);
    }
    return v;
  }
};

inline AppArgs SeedApp(const std::u16string& tag) {
  return {u"setup-" + tag,
          u"App " + tag,
          u"1.0",
          u"C:\\" + tag,
          u"C:\\" + tag + u"\\" + tag + u".exe",
          u"--old",
          u"C:\\" + tag + u"\\" + tag + u".ico",
          u"old description"};
}

// What a caller saw: the result (through IDispatch a success arrives as
// S_OK) and the error code.
struct Seen {
  int32_t result;
  int32_t code;
};

// One way of reaching the operations.
class Channel {
 public:
  virtual ~Channel() = default;
  virtual Seen Updated(const AppArgs& a) = 0;
  virtual Seen AppUninstalled(const Text& main_program_path) = 0;
  virtual Seen WidgetUninstalled(const Text& name) = 0;
  // Whether success codes other than S_OK reach the caller.
  virtual bool SeesSuccessCodes() const = 0;
  // Broadcasts posted so far in this process, when the channel can count them.
  virtual std::optional<uint64_t> Broadcasts() const { return std::nullopt; }
};

enum class Op { kUpdated, kAppUninstalled, kWidgetUninstalled };

// The records a file holds: applications in order (by their values), widgets
// by key name (by the "Name" value).
struct Records {
  std::vector<Values> apps;
  std::map<std::u16string, std::u16string> widgets;
};

struct Case {
  const char* what;
  Op op;
  AppArgs app;  // kUpdated
  Text text;    // kAppUninstalled: the path; kWidgetUninstalled: the name
  int32_t result;
  int32_t code;
  bool changed;  // saved and broadcast
  // The applications left, as indexes into the seed records (-1: the record
  // of |app|), and the widget keys left.
  std::vector<int> apps;
  std::vector<std::u16string> widgets;
  bool protect_b = false;  // the first record of app B is protected
};

// Seed: A, B, B (same path, different names), C; widgets Clock, Dial and the
// one registered as "Sun\Moon" (key "Sun").
inline std::vector<AppArgs> SeedApps() {
  AppArgs b2 = SeedApp(u"B");
  b2.name = u"App B again";
  b2.desc = std::nullopt;
  return {SeedApp(u"A"), SeedApp(u"B"), b2, SeedApp(u"C")};
}

inline AppArgs NewValues(const std::u16string& path) {
  return {std::nullopt, u"New name",  u"2.0",         std::nullopt,
          path,         std::nullopt, u"C:\\new.ico", std::nullopt};
}

inline std::vector<Case> Cases() {
  const std::vector<std::u16string> all_widgets = {u"Clock", u"Dial", u"Sun"};
  AppArgs no_name = NewValues(u"C:\\A\\A.exe");
  no_name.name = std::nullopt;
  AppArgs no_path = NewValues(u"C:\\A\\A.exe");
  no_path.main_program_path = std::nullopt;
  AppArgs no_icon = NewValues(u"C:\\A\\A.exe");
  no_icon.main_icon_path = std::nullopt;
  return {
      {"update of a new path adds a record",
       Op::kUpdated,
       NewValues(u"C:\\N\\n.exe"),
       {},
       kOk,
       0,
       true,
       {0, 1, 2, 3, -1},
       all_widgets},
      {"update replaces the record whole, in its place",
       Op::kUpdated,
       NewValues(u"C:\\A\\A.exe"),
       {},
       kOk,
       0,
       true,
       {-1, 1, 2, 3},
       all_widgets},
      {"update of a path in another letter case",
       Op::kUpdated,
       NewValues(u"c:\\a\\a.EXE"),
       {},
       kOk,
       0,
       true,
       {-1, 1, 2, 3},
       all_widgets},
      {"update keeps one of several records of a path",
       Op::kUpdated,
       NewValues(u"C:\\B\\B.exe"),
       {},
       kOk,
       0,
       true,
       {0, -1, 3},
       all_widgets},
      {"update without a name",
       Op::kUpdated,
       no_name,
       {},
       kInvalid,
       1,
       false,
       {0, 1, 2, 3},
       all_widgets},
      {"update without a path",
       Op::kUpdated,
       no_path,
       {},
       kInvalid,
       1,
       false,
       {0, 1, 2, 3},
       all_widgets},
      {"update without an icon",
       Op::kUpdated,
       no_icon,
       {},
       kInvalid,
       1,
       false,
       {0, 1, 2, 3},
       all_widgets},
      {"update of a protected record",
       Op::kUpdated,
       NewValues(u"C:\\B\\B.exe"),
       {},
       kDenied,
       kDenied,
       false,
       {0, 1, 2, 3},
       all_widgets,
       true},
      {"uninstall removes the record",
       Op::kAppUninstalled,
       {},
       u"C:\\A\\A.exe",
       kOk,
       0,
       true,
       {1, 2, 3},
       all_widgets},
      {"uninstall removes every record of the path",
       Op::kAppUninstalled,
       {},
       u"C:\\B\\B.exe",
       kOk,
       0,
       true,
       {0, 3},
       all_widgets},
      {"uninstall of a path in another letter case",
       Op::kAppUninstalled,
       {},
       u"C:\\c\\C.EXE",
       kOk,
       0,
       true,
       {0, 1, 2},
       all_widgets},
      {"uninstall of an unknown path",
       Op::kAppUninstalled,
       {},
       u"C:\\A\\A.ex",
       kNothing,
       kNothing,
       false,
       {0, 1, 2, 3},
       all_widgets},
      {"uninstall of the empty path",
       Op::kAppUninstalled,
       {},
       u"",
       kNothing,
       kNothing,
       false,
       {0, 1, 2, 3},
       all_widgets},
      {"uninstall without a path",
       Op::kAppUninstalled,
       {},
       std::nullopt,
       kInvalid,
       1,
       false,
       {0, 1, 2, 3},
       all_widgets},
      {"uninstall of a protected record",
       Op::kAppUninstalled,
       {},
       u"C:\\B\\B.exe",
       kDenied,
       kDenied,
       false,
       {0, 1, 2, 3},
       all_widgets,
       true},
      {"widget uninstall",
       Op::kWidgetUninstalled,
       {},
       u"Clock",
       kOk,
       0,
       true,
       {0, 1, 2, 3},
       {u"Dial", u"Sun"}},
      {"widget uninstall in another letter case",
       Op::kWidgetUninstalled,
       {},
       u"dIAL",
       kOk,
       0,
       true,
       {0, 1, 2, 3},
       {u"Clock", u"Sun"}},
      {"widget uninstall of a name with a backslash",
       Op::kWidgetUninstalled,
       {},
       u"Sun\\Moon",
       kOk,
       0,
       true,
       {0, 1, 2, 3},
       {u"Clock", u"Dial"}},
      {"widget uninstall of an unknown name",
       Op::kWidgetUninstalled,
       {},
       u"Clocks",
       kNothing,
       kNothing,
       false,
       {0, 1, 2, 3},
       all_widgets},
      {"widget uninstall of a name that cannot be a key",
       Op::kWidgetUninstalled,
       {},
       u"a<b",
       kNothing,
       kNothing,
       false,
       {0, 1, 2, 3},
       all_widgets},
      {"widget uninstall without a name",
       Op::kWidgetUninstalled,
       {},
       std::nullopt,
       kInvalid,
       1,
       false,
       {0, 1, 2, 3},
       all_widgets},
  };
}

inline void PutText(ICfKey* record, const char16_t* name, const Text& text) {
  if (text) {
    auto value = CfRef<ICfKey>::Adopt(record->CreateChild(name, CfTypeWString, text->c_str(), -1));
  }
}

// Writes the seed file straight through the store (the operations never
// make two records of one path).
inline void WriteSeed(bool protect_b) {
  platform::FileSystem* fs = platform::CurrentFileSystem();
  const std::u16string path = RegistrationFile();
  for (const char16_t* suffix : {u"", u".new", u".old"}) fs->Remove((path + suffix).c_str());
  auto file = CfRef<CConfigFile>::Adopt(CreateConfigFile(path.c_str(), platform::kOpenAlways));
  ASSERT_TRUE(file);
  {
    auto apps = CfRef<ICfKey>::Adopt(file->OpenKey(install::kAppSection, true));
    ASSERT_TRUE(apps);
    int index = 0;
    for (const AppArgs& a : SeedApps()) {
      auto r = CfRef<ICfKey>::Adopt(
          apps->CreateChildWithId(install::kAppRecordId, false, CfTypeNone, nullptr, 0));
      ASSERT_TRUE(r);
      for (const auto& [name, bytes] : a.Record()) {
        auto value = CfRef<ICfKey>::Adopt(r->CreateChild(name.c_str(), CfTypeWString, bytes.data(),
                                                         static_cast<int32_t>(bytes.size())));
      }
      if (protect_b && index == 1) {
        ASSERT_TRUE(r->SetAttributes(kCfProtected));
      }
      ++index;
    }
    auto widgets = CfRef<ICfKey>::Adopt(file->OpenKey(install::kWidgetSection, true));
    ASSERT_TRUE(widgets);
    for (const char16_t* name : {u"Clock", u"Dial", u"Sun\\Moon"}) {
      auto w = CfRef<ICfKey>::Adopt(widgets->CreateChild(name, CfTypeNone, nullptr, 0));
      ASSERT_TRUE(w);
      PutText(w.get(), install::kValueName, std::u16string(name));
    }
  }
  ASSERT_TRUE(file->Save(nullptr));
}

inline Records ReadRecords() {
  const orvo::testing::RegistrationRecords records =
      orvo::testing::ReadRegistrationRecords(RegistrationFile());
  Records out;
  out.apps = records.apps;
  for (const uint32_t id : records.app_ids) EXPECT_EQ(id, install::kAppRecordId);
  for (const auto& widget : records.widgets) out.widgets[widget.first] = u"";
  return out;
}

inline Bytes FileBytes() {
  platform::OpenError error;
  std::unique_ptr<platform::File> f(platform::CurrentFileSystem()->Open(
      RegistrationFile().c_str(), platform::OpenMode::kRead, platform::kOpenExisting, &error));
  Bytes bytes;
  uint64_t size = 0;
  if (!f || !f->Size(&size)) return bytes;
  bytes.resize(static_cast<size_t>(size));
  uint32_t done = 0;
  if (!f->Read(bytes.data(), static_cast<uint32_t>(size), &done)) done = 0;
  bytes.resize(done);
  return bytes;
}

// A record for messages: "Name=text; ..." in value-name order, bytes that
// are not ASCII text as \xNN.
inline std::string Describe(const Values& values) {
  std::string out;
  for (const auto& [name, bytes] : values) {
    for (char16_t c : name) out += static_cast<char>(c);
    out += '=';
    for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
      const unsigned unit = bytes[i] | (bytes[i + 1] << 8);
      if (unit == 0 && i + 2 == bytes.size()) break;
      if (unit >= 0x20 && unit < 0x7F) {
        out += static_cast<char>(unit);
      } else {
        char hex[12];
        std::snprintf(hex, sizeof(hex), "\\x%02X", unit);
        out += hex;
      }
    }
    out += "; ";
  }
  return out;
}

// Runs every case through |channel|.
inline void RunCases(Channel& channel) {
  const std::vector<AppArgs> seed = SeedApps();
  for (const Case& c : Cases()) {
    SCOPED_TRACE(c.what);
    WriteSeed(c.protect_b);
    const Bytes before = FileBytes();
    const std::optional<uint64_t> broadcasts = channel.Broadcasts();
    Seen seen{};
    switch (c.op) {
      case Op::kUpdated:
        seen = channel.Updated(c.app);
        break;
      case Op::kAppUninstalled:
        seen = channel.AppUninstalled(c.text);
        break;
      case Op::kWidgetUninstalled:
        seen = channel.WidgetUninstalled(c.text);
        break;
    }
    const bool success = c.result >= 0;
    EXPECT_EQ(seen.result, success && !channel.SeesSuccessCodes() ? kOk : c.result);
    EXPECT_EQ(seen.code, c.code);
    if (broadcasts) {
      EXPECT_EQ(*channel.Broadcasts(), *broadcasts + (c.changed ? 1 : 0));
    }
    if (!c.changed) {
      EXPECT_EQ(FileBytes(), before) << "the file was written";
    }
    const Records after = ReadRecords();
    std::vector<std::string> expected_apps, apps;
    for (int i : c.apps) {
      expected_apps.push_back(Describe(i < 0 ? c.app.Record() : seed[i].Record()));
    }
    for (const Values& v : after.apps) apps.push_back(Describe(v));
    EXPECT_EQ(apps, expected_apps);
    std::vector<std::u16string> widget_keys;
    for (const auto& [key, unused] : after.widgets) widget_keys.push_back(key);
    EXPECT_EQ(widget_keys, c.widgets);
  }
}

}  // namespace orvo::record_life

#endif  // ORVO_TESTS_INSTALL_RECORD_LIFE_CASES_H_
