// The registration broadcast seen from another process: a listener program
// (tools/broadcast_listener) waits in its own top-level window while this
// process notifies through an object created from the registered server.
// A registration that is written is heard once; a duplicate or a refused
// call is not heard at all.
#include <gtest/gtest.h>
#include <oaidl.h>
#include <windows.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "install/record_layout.h"
#include "platform/shell.h"
#include "server/guids.h"
#include "server/interfaces.h"
#include "server/unique.h"
#include "tests/server/com/server_library.h"

namespace orvo::server {
namespace {

// Generous: a Wine process may take seconds to start.
constexpr DWORD kReadyTimeoutMs = 60000;
// Long enough for a message posted before it starts to be dispatched.
constexpr DWORD kQuietMs = 1500;

std::wstring RegistrationFile() {
  char16_t folder[platform::kMaxPath] = {};
  EXPECT_TRUE(platform::CommonAppDataFolder(folder));
  std::u16string path(folder);
  if (!path.empty() && path.back() != u'\\') path += u'\\';
  path += install::kSuiteFolder;
  path += install::kRegistrationFile;
  return std::wstring(path.begin(), path.end());
}

// The message number every process gets for the broadcast's name.
UINT BroadcastMessage() {
  return RegisterWindowMessageW(reinterpret_cast<const wchar_t*>(install::kBroadcastMessageName));
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
  }
  return lines;
}

// broadcast_listener.exe (copied beside this program) in a process of its
// own, its output going to a temporary file.
class ListenerProcess {
 public:
  struct Outcome {
    int exit_code = -1;
    std::vector<std::string> received;  // its "received broadcast ..." lines
    std::string output;
  };

  // Starts it with |arguments| and waits until its window listens.
  // Check ready().
  explicit ListenerProcess(const std::wstring& arguments) {
    wchar_t temp[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, temp);
    output_path_ = std::wstring(temp) + L"orvo-listener-" + std::to_wstring(GetCurrentProcessId()) +
                   L"-" + std::to_wstring(++serial_) + L".txt";
    const std::wstring event_name = L"Local\\orvo-listener-ready-" +
                                    std::to_wstring(GetCurrentProcessId()) + L"-" +
                                    std::to_wstring(serial_);
    UniqueHandle ready(CreateEventW(nullptr, TRUE, FALSE, event_name.c_str()));
    SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
    UniqueFileHandle output(CreateFileW(output_path_.c_str(), GENERIC_WRITE,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, CREATE_ALWAYS,
                                        FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!ready || output.get() == INVALID_HANDLE_VALUE) {
      output.release();
      return;
    }
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = output.get();
    startup.hStdError = output.get();
    std::wstring command_line = testing::Quoted(testing::TestFolder() + L"broadcast_listener.exe") +
                                L" --ready-event " + event_name + L" " + arguments;
    PROCESS_INFORMATION info = {};
    if (!CreateProcessW(nullptr, command_line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                        &startup, &info)) {
      return;
    }
    process_.reset(info.hProcess);
    CloseHandle(info.hThread);
    // Ready, or ended early (then ready() is false and Finish tells why).
    const HANDLE handles[] = {ready.get(), process_.get()};
    ready_ = WaitForMultipleObjects(2, handles, FALSE, kReadyTimeoutMs) == WAIT_OBJECT_0;
  }

  ~ListenerProcess() {
    if (process_ && WaitForSingleObject(process_.get(), 0) == WAIT_TIMEOUT) {
      TerminateProcess(process_.get(), 99);
      WaitForSingleObject(process_.get(), 10000);
    }
    DeleteFileW(output_path_.c_str());
  }

  bool ready() const { return ready_; }

  // Waits for the listener to end and collects what it printed.
  Outcome Finish() {
    Outcome outcome;
    if (!process_) return outcome;
    if (WaitForSingleObject(process_.get(), kReadyTimeoutMs) == WAIT_OBJECT_0) {
      DWORD code = 0;
      if (GetExitCodeProcess(process_.get(), &code)) outcome.exit_code = static_cast<int>(code);
    }
    std::ifstream in(output_path_.c_str(), std::ios::binary);
    outcome.output.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    for (const std::string& line : Lines(outcome.output)) {
      if (line.rfind("received broadcast", 0) == 0) outcome.received.push_back(line);
    }
    return outcome;
  }

 private:
  static inline int serial_ = 0;
  std::wstring output_path_;
  UniqueHandle process_;
  bool ready_ = false;
};

// The line the listener prints for one broadcast of the module.
std::string ExpectedLine() {
  char line[80];
  std::snprintf(line, sizeof(line), "received broadcast 0x%04X wParam=0 lParam=0",
                BroadcastMessage());
  return line;
}

class BroadcastTest : public ::testing::Test {
 protected:
  void SetUp() override {
    testing::RemoveAllRegistration();
    DeleteFileW(RegistrationFile().c_str());
    ASSERT_TRUE(server_.loaded());
    ASSERT_EQ(server_.RegisterServer(), S_OK);
    ASSERT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
    ASSERT_EQ(CoCreateInstance(CLSID_ICommonInterface, nullptr, CLSCTX_INPROC_SERVER,
                               IID_IICommonInterface, common_.put_void()),
              S_OK);
  }
  void TearDown() override {
    common_.reset();
    CoUninitialize();
    EXPECT_EQ(server_.UnregisterServer(), S_OK);
    testing::RemoveAllRegistration();
    DeleteFileW(RegistrationFile().c_str());
  }

  // Registers the application at |path|; returns the result and the code.
  std::pair<HRESULT, int> NotifyApp(const wchar_t* path) {
    UniqueBstr name(SysAllocString(L"Orchard"));
    UniqueBstr main_program(SysAllocString(path));
    UniqueBstr icon(SysAllocString(L"C:\\Apps\\Orchard\\orchard.ico"));
    int code = -7;
    const HRESULT hr = common_->NotifyApplicationInstalled(nullptr, name.get(), nullptr, nullptr,
                                                           main_program.get(), nullptr, icon.get(),
                                                           nullptr, &code);
    return {hr, code};
  }

  // Registers the widget |name|; a |height| of 0 is refused.
  std::pair<HRESULT, int> NotifyWidget(const wchar_t* name, int height) {
    UniqueBstr widget(SysAllocString(name));
    UniqueBstr main_program(SysAllocString(L"C:\\Widgets\\clock.exe"));
    UniqueBstr icon(SysAllocString(L"C:\\Widgets\\clock.ico"));
    int code = -7;
    const HRESULT hr =
        common_->NotifyWidgetInstalled(nullptr, widget.get(), nullptr, nullptr, main_program.get(),
                                       icon.get(), nullptr, 160, height, &code);
    return {hr, code};
  }

  testing::ServerLibrary server_;
  ComPtr<IICommonInterface> common_;
};

TEST_F(BroadcastTest, EachWrittenRegistrationIsHeardOnce) {
  ListenerProcess listener(L"--count 2 --timeout-ms 30000 --quiet-ms " + std::to_wstring(kQuietMs));
  ASSERT_TRUE(listener.ready()) << listener.Finish().output;

  EXPECT_EQ(NotifyApp(L"C:\\Apps\\Orchard\\orchard.exe"), std::make_pair(S_OK, 0));
  EXPECT_EQ(NotifyWidget(L"Clock", 90), std::make_pair(S_OK, 0));

  const ListenerProcess::Outcome outcome = listener.Finish();
  EXPECT_EQ(outcome.exit_code, 0) << outcome.output;
  EXPECT_EQ(outcome.received, std::vector<std::string>(2, ExpectedLine())) << outcome.output;
}

TEST_F(BroadcastTest, DuplicatesAndRefusedCallsAreNotHeard) {
  // Registered before anyone listens.
  ASSERT_EQ(NotifyApp(L"C:\\Apps\\Orchard\\orchard.exe"), std::make_pair(S_OK, 0));
  ListenerProcess listener(L"--count 1 --timeout-ms 30000 --quiet-ms " + std::to_wstring(kQuietMs));
  ASSERT_TRUE(listener.ready()) << listener.Finish().output;

  EXPECT_EQ(NotifyApp(L"c:\\apps\\ORCHARD\\Orchard.EXE"), std::make_pair(HRESULT{2}, 2));
  EXPECT_EQ(NotifyWidget(L"Clock", 0), std::make_pair(E_INVALIDARG, 1));
  EXPECT_EQ(NotifyApp(nullptr), std::make_pair(E_INVALIDARG, 1));
  // The one message the listener waits for; anything the calls above had
  // posted would stand before it and make a second.
  EXPECT_EQ(NotifyWidget(L"Clock", 90), std::make_pair(S_OK, 0));

  const ListenerProcess::Outcome outcome = listener.Finish();
  EXPECT_EQ(outcome.exit_code, 0) << outcome.output;
  EXPECT_EQ(outcome.received, std::vector<std::string>{ExpectedLine()}) << outcome.output;
}

TEST_F(BroadcastTest, ListenerTimesOutWhenOnlyADuplicateCame) {
  ASSERT_EQ(NotifyApp(L"C:\\Apps\\Orchard\\orchard.exe"), std::make_pair(S_OK, 0));
  ListenerProcess listener(L"--count 1 --timeout-ms " + std::to_wstring(kQuietMs));
  ASSERT_TRUE(listener.ready()) << listener.Finish().output;

  EXPECT_EQ(NotifyApp(L"C:\\Apps\\Orchard\\orchard.exe"), std::make_pair(HRESULT{2}, 2));

  const ListenerProcess::Outcome outcome = listener.Finish();
  EXPECT_EQ(outcome.exit_code, 1) << outcome.output;
  EXPECT_TRUE(outcome.received.empty()) << outcome.output;
  EXPECT_NE(outcome.output.find("timed out"), std::string::npos) << outcome.output;
}

}  // namespace
}  // namespace orvo::server
