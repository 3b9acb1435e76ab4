// examples/reader --watch under Windows: the reader (copied beside this
// program) runs in a process of its own on a file of this test; after the
// test adds a record it prints nothing new until the registration broadcast
// is posted, and then the file as it is now.
#include <gtest/gtest.h>
#include <windows.h>

#include <fstream>
#include <iterator>
#include <string>

#include "install/record_layout.h"
#include "platform/shell.h"
#include "platform/utf.h"
#include "store/config_file.h"
#include "store/key.h"
#include "store/ref.h"
#include "tests/testing/temp_dir.h"

using orvo::store::CreateConfigFile;

namespace {

// Generous: a Wine process may take seconds to start.
constexpr DWORD kWaitMs = 60000;
// Long enough for a re-read that should not happen to show.
constexpr DWORD kQuietMs = 1500;

std::wstring Wide(const std::u16string& s) { return std::wstring(s.begin(), s.end()); }

std::wstring TestFolder() {
  wchar_t path[MAX_PATH] = {};
  const DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring folder(path, n);
  return folder.substr(0, folder.find_last_of(L"\\/") + 1);
}

// Appends an application record named |name| to the file at |path|, made
// when missing, and saves it.
bool AddApplication(const std::u16string& path, const std::u16string& name) {
  auto file = CfRef<CConfigFile>::Adopt(CreateConfigFile(path.c_str(), 4 /* OPEN_ALWAYS */));
  if (!file) return false;
  {
    auto section = CfRef<ICfKey>::Adopt(file->OpenKey(orvo::install::kAppSection, true));
    if (!section) return false;
    auto record = CfRef<ICfKey>::Adopt(
        section->CreateChildWithId(orvo::install::kAppRecordId, false, CfTypeNone, nullptr, 0));
    if (!record) return false;
    const std::u16string program = u"C:\\Apps\\" + name + u".exe";
    const std::pair<const CfChar*, std::u16string> values[] = {
        {orvo::install::kValueName, name},
        {orvo::install::kValueMainProgramPath, program},
        {orvo::install::kValueMainIcon, u"C:\\Apps\\app.ico"},
    };
    for (const auto& v : values) {
      auto value =
          CfRef<ICfKey>::Adopt(record->CreateChild(v.first, CfTypeWString, v.second.c_str(), -1));
      if (!value) return false;
    }
  }
  return file->Save(nullptr);
}

class ReaderProcess {
 public:
  ReaderProcess(const std::wstring& file, const std::wstring& output) : output_(output) {
    SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
    HANDLE out = CreateFileW(output.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                             &inherit, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (out == INVALID_HANDLE_VALUE) return;
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = out;
    startup.hStdError = out;
    std::wstring command = L"\"" + TestFolder() + L"reader.exe\" --watch \"" + file + L"\"";
    PROCESS_INFORMATION info = {};
    if (CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                       &startup, &info)) {
      process_ = info.hProcess;
      CloseHandle(info.hThread);
    }
    CloseHandle(out);
  }
  ~ReaderProcess() {
    if (process_ != nullptr) {
      TerminateProcess(process_, 99);
      WaitForSingleObject(process_, 10000);
      CloseHandle(process_);
    }
  }

  bool started() const { return process_ != nullptr; }

  std::string Output() const {
    std::ifstream in(output_.c_str(), std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::string lines;
    for (char c : text) {
      if (c != '\r') lines += c;
    }
    return lines;
  }

  // Waits until the output holds |text|, the reader ends, or the time runs out.
  bool WaitFor(const std::string& text) const {
    const ULONGLONG deadline = GetTickCount64() + kWaitMs;
    while (Output().find(text) == std::string::npos) {
      if (GetTickCount64() > deadline || WaitForSingleObject(process_, 100) == WAIT_OBJECT_0) {
        return Output().find(text) != std::string::npos;
      }
    }
    return true;
  }

 private:
  std::wstring output_;
  HANDLE process_ = nullptr;
};

TEST(ReaderWatchTest, ReReadsTheFileWhenTheBroadcastArrives) {
  orvo::testing::TempDir dir;
  ASSERT_TRUE(dir.ok());
  const std::u16string file = dir.Path(u"InstallApp.set");
  ASSERT_TRUE(AddApplication(file, u"Orchard"));

  ReaderProcess reader(Wide(file), Wide(dir.Path(u"reader.txt")));
  ASSERT_TRUE(reader.started());
  ASSERT_TRUE(reader.WaitFor("-- watching for 9347F210-2EB6-409F-A226-922385DF4C8E\n"))
      << reader.Output();

  // A change alone is not seen: the reader waits for the broadcast.
  ASSERT_TRUE(AddApplication(file, u"Clock Tower"));
  Sleep(kQuietMs);
  EXPECT_EQ(reader.Output().find("re-read"), std::string::npos) << reader.Output();

  ASSERT_NE(orvo::platform::BroadcastMessage(orvo::install::kBroadcastMessageName), 0u);
  ASSERT_TRUE(
      reader.WaitFor("  Clock Tower\n    program: C:\\Apps\\Clock Tower.exe\n"
                     "    icon: C:\\Apps\\app.ico\nwidgets:\n  (none)\n"))
      << reader.Output();

  const std::string orchard =
      "  Orchard\n    program: C:\\Apps\\Orchard.exe\n    icon: C:\\Apps\\app.ico\n";
  EXPECT_EQ(reader.Output(),
            orvo::platform::Utf16ToUtf8(file, orvo::platform::LoneSurrogate::kReplace) +
                "\napplications:\n" + orchard +
                "widgets:\n  (none)\n"
                "-- watching for 9347F210-2EB6-409F-A226-922385DF4C8E\n"
                "-- re-read after a broadcast\n"
                "applications:\n" +
                orchard +
                "  Clock Tower\n    program: C:\\Apps\\Clock Tower.exe\n"
                "    icon: C:\\Apps\\app.ico\n"
                "widgets:\n  (none)\n");
}

// Removes the application records named |name| from the file at |path|.
bool RemoveApplication(const std::u16string& path, const std::u16string& name) {
  auto file = CfRef<CConfigFile>::Adopt(CreateConfigFile(path.c_str(), 3 /* OPEN_EXISTING */));
  if (!file) return false;
  {
    auto section = CfRef<ICfKey>::Adopt(file->OpenKey(orvo::install::kAppSection, false));
    if (!section) return false;
    for (int32_t n = 0;;) {
      auto record = CfRef<ICfKey>::Adopt(section->GetChildById(orvo::install::kAppRecordId, n));
      if (!record) break;
      auto value = CfRef<ICfKey>::Adopt(record->OpenKey(orvo::install::kValueName, false));
      CfChar text[64] = {};
      if (value && value->GetValue(text, sizeof(text) - 2) > 0 && text == name) {
        if (!record->Delete()) return false;
      } else {
        ++n;
      }
    }
  }
  return file->Save(nullptr);
}

// A record removed (by an uninstaller) is named after the next broadcast;
// one of two records of one title is told apart from the other.
TEST(ReaderWatchTest, NamesWhatWasRemovedAfterTheBroadcast) {
  orvo::testing::TempDir dir;
  ASSERT_TRUE(dir.ok());
  const std::u16string file = dir.Path(u"InstallApp.set");
  ASSERT_TRUE(AddApplication(file, u"Orchard"));
  ASSERT_TRUE(AddApplication(file, u"Clock Tower"));
  ASSERT_TRUE(AddApplication(file, u"Clock Tower"));

  ReaderProcess reader(Wide(file), Wide(dir.Path(u"reader.txt")));
  ASSERT_TRUE(reader.started());
  ASSERT_TRUE(reader.WaitFor("-- watching for 9347F210-2EB6-409F-A226-922385DF4C8E\n"))
      << reader.Output();
  ASSERT_TRUE(RemoveApplication(file, u"Orchard"));
  ASSERT_NE(orvo::platform::BroadcastMessage(orvo::install::kBroadcastMessageName), 0u);
  ASSERT_TRUE(reader.WaitFor("-- removed: application Orchard\n")) << reader.Output();
  const std::string clock =
      "  Clock Tower\n    program: C:\\Apps\\Clock Tower.exe\n    icon: C:\\Apps\\app.ico\n";
  const std::string after = "-- re-read after a broadcast\napplications:\n" + clock + clock +
                            "widgets:\n  (none)\n-- removed: application Orchard\n";
  EXPECT_NE(reader.Output().find(after), std::string::npos) << reader.Output();
  EXPECT_EQ(reader.Output().find("removed: application Clock"), std::string::npos);
}

}  // namespace
