// reader: prints the applications and widgets registered in the suite's
// registration file "InstallApp.set", through the store's key interface.
//
//   reader [FILE]          prints the file once
//   reader --watch [FILE]  (Windows) prints it, then again after every
//                          registration broadcast, until Ctrl+C, each time
//                          with a line "-- removed: ..." for every record
//                          the last reading had and this one has not
//
// Without FILE it reads <machine-wide application data>/Tamsiver/InstallApp.set:
// on Windows the shell folder CSIDL_COMMON_APPDATA, elsewhere the folder named
// by ORVO_COMMON_APPDATA or /var/lib. Output is UTF-8. Exit status: 0 printed,
// 1 the file cannot be opened, 2 usage errors.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <shlobj.h>
#include <windows.h>
#endif

#include "orvo/platform/utf.h"
#include "orvo/store/config_file.h"
#include "orvo/store/key.h"
#include "orvo/store/ref.h"
#include "orvo/version.h"

namespace {

using orvo::platform::LoneSurrogate;
using orvo::platform::Utf16ToUtf8;
using orvo::store::CfFileStateText;
using orvo::store::CreateConfigFile;

// The record layout of "InstallApp.set".
constexpr CfChar kAppSection[] = u"APP";
constexpr CfChar kWidgetSection[] = u"Widget";
constexpr uint32_t kAppRecordId = 1;
constexpr const char* kBroadcastName = "9347F210-2EB6-409F-A226-922385DF4C8E";

// |s| as UTF-8 for the terminal. The file lies in a folder every user can
// write to: control characters (escape sequences among them) are shown as
// U+FFFD, and so are lone surrogates.
std::string ForPeople(std::u16string s) {
  for (char16_t& c : s) {
    if (c < 0x20 || (c >= 0x7F && c <= 0x9F)) c = 0xFFFD;
  }
  return Utf16ToUtf8(s, LoneSurrogate::kReplace);
}

// The UTF-16 string value of |key|'s child |name|, without its terminator.
// False when there is no such child or it holds no UTF-16 string.
bool ReadText(ICfKey* key, const CfChar* name, std::u16string* text) {
  auto child = CfRef<ICfKey>::Adopt(key->OpenKey(name, false));  // null: no such child
  if (!child || child->GetType() != CfTypeWString) return false;
  const int32_t length = child->GetValueLength();
  if (length < 2 || length % 2 != 0) return false;
  std::vector<CfChar> units(static_cast<size_t>(length) / 2);
  if (child->GetValue(units.data(), length) != length) return false;
  text->assign(units.data(), units.size());
  while (!text->empty() && text->back() == 0) text->pop_back();
  return true;
}

// "    label: value" for each value of the record that is there and not empty.
void PrintValues(ICfKey* record, const std::vector<std::pair<const CfChar*, const char*>>& rows) {
  std::u16string text;
  for (const auto& row : rows) {
    if (ReadText(record, row.first, &text) && !text.empty()) {
      std::printf("    %s: %s\n", row.second, ForPeople(text).c_str());
    }
  }
}

// The first line of a record: its name, and its version when it has one.
std::string Title(ICfKey* record, const std::u16string& fallback) {
  std::u16string name, version;
  std::string title = ReadText(record, u"Name", &name) ? ForPeople(name) : ForPeople(fallback);
  if (ReadText(record, u"Version", &version) && !version.empty()) title += " " + ForPeople(version);
  return title;
}

// What one reading found: "application TITLE" and "widget TITLE" lines.
using Seen = std::vector<std::string>;

void PrintApplications(ICfKey* root, Seen* seen) {
  int count = 0;
  auto section = CfRef<ICfKey>::Adopt(root->OpenKey(kAppSection, false));
  std::printf("applications:\n");
  // Each key handed out carries a reference; MoveToNextSibling releases the
  // current one and hands out the next (null after the last).
  for (auto record = CfRef<ICfKey>::Adopt(section ? section->GetFirstChild() : nullptr); record;
       record.attach(record.release()->MoveToNextSibling())) {
    if (record->GetId(nullptr) != kAppRecordId) continue;
    ++count;
    const std::string title = Title(record.get(), u"(no name)");
    seen->push_back("application " + title);
    std::printf("  %s\n", title.c_str());
    PrintValues(record.get(), {{u"MainProgramPath", "program"},
                               {u"MainIcon", "icon"},
                               {u"InstallDir", "folder"},
                               {u"Param", "parameters"},
                               {u"Desc", "description"},
                               {u"Caller", "registered by"}});
  }
  if (count == 0) std::printf("  (none)\n");
}

void PrintWidgets(ICfKey* root, Seen* seen) {
  int count = 0;
  auto section = CfRef<ICfKey>::Adopt(root->OpenKey(kWidgetSection, false));
  std::printf("widgets:\n");
  for (auto widget = CfRef<ICfKey>::Adopt(section ? section->GetFirstChild() : nullptr); widget;
       widget.attach(widget.release()->MoveToNextSibling())) {
    ++count;
    // The key's name is the widget's name cut at 255 units; "Name" is whole.
    // GetName with a null buffer gives the length; then it copies name and NUL.
    const int32_t length = widget->GetName(nullptr, 0);
    std::u16string key_name(static_cast<size_t>(length < 0 ? 0 : length) + 1, u'\0');
    const int32_t copied = widget->GetName(key_name.data(), static_cast<int32_t>(key_name.size()));
    key_name.resize(static_cast<size_t>(copied < 0 ? 0 : copied));
    const std::string title = Title(widget.get(), key_name);
    seen->push_back("widget " + title);
    std::printf("  %s (%d x %d)\n", title.c_str(), widget->GetChildInt(u"W", 0),
                widget->GetChildInt(u"H", 0));
    PrintValues(widget.get(), {{u"MainProgramPath", "program"},
                               {u"MainIcon", "icon"},
                               {u"InstallDir", "folder"},
                               {u"Desc", "description"},
                               {u"Caller", "registered by"}});
  }
  if (count == 0) std::printf("  (none)\n");
}

// Says on stderr when the tree is not the whole file. False for a file this
// reader cannot trust: damaged, or holding nothing it can read.
bool Warn(const std::u16string& path, const CfLoadReport& report) {
  const std::string name = ForPeople(path);
  switch (report.source) {
    case CfTreeSource::kFile:
    case CfTreeSource::kEmpty:
      return true;
    case CfTreeSource::kSideFile:
      // The store's own recovery: the image of the last save, from its side file.
      std::fprintf(stderr,
                   "reader: %s: warning: caught in the middle of a save; shown as that save "
                   "left it (from its side file beside the file)\n",
                   name.c_str());
      return true;
    case CfTreeSource::kFilePart:
      std::fprintf(stderr,
                   "reader: %s: warning: the file is damaged (%s); shown are the %llu keys "
                   "that could still be read, the rest is lost\n",
                   name.c_str(), CfFileStateText(report.file.state),
                   static_cast<unsigned long long>(report.file.parse.nodes));
      return false;
    case CfTreeSource::kUnreadable:
      break;
  }
  std::fprintf(stderr, "reader: %s: warning: nothing this reader can read (%s)\n", name.c_str(),
               CfFileStateText(report.file.state));
  return false;
}

// Reads |path| afresh and prints it; *seen receives its records. False when
// the file cannot be opened or trusted (see Warn).
bool PrintFile(const std::u16string& path, Seen* seen) {
  seen->clear();
  // CreateConfigFile hands out the file object with one reference, or null.
  auto file = CfRef<CConfigFile>::Adopt(CreateConfigFile(path.c_str(), kCfOpenExisting));
  if (!file) {
    std::fprintf(stderr, "reader: %s: cannot open\n", ForPeople(path).c_str());
    return false;
  }
  const bool trusted = Warn(path, file->load_report());
  {
    // Every key is released before the file object's last reference.
    auto root = CfRef<ICfKey>::Adopt(file->GetRootKey());
    if (root) {
      PrintApplications(root.get(), seen);
      PrintWidgets(root.get(), seen);
    }
  }
  std::fflush(stdout);
  return trusted;
}

// What the last reading found.
Seen g_seen;

// <machine-wide application data>/Tamsiver/InstallApp.set, or empty.
std::u16string DefaultPath() {
#ifdef _WIN32
  wchar_t folder[MAX_PATH] = {};
  if (FAILED(SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, 0, folder))) return u"";
  return reinterpret_cast<const char16_t*>(folder) + std::u16string(u"\\Tamsiver\\InstallApp.set");
#else
  const char* folder = std::getenv("ORVO_COMMON_APPDATA");
  if (folder == nullptr || *folder == 0) folder = "/var/lib";
  return orvo::platform::Utf8ToUtf16(folder) + u"/Tamsiver/InstallApp.set";
#endif
}

#ifdef _WIN32
UINT g_broadcast = 0;
const std::u16string* g_path = nullptr;

LRESULT CALLBACK WatchProc(HWND window, UINT msg, WPARAM wparam, LPARAM lparam) {
  if (g_broadcast != 0 && msg == g_broadcast) {
    std::printf("-- re-read after a broadcast\n");
    Seen before = g_seen;
    PrintFile(*g_path, &g_seen);
    // Each record of the last reading that this one does not have (records
    // of one title counted one by one).
    Seen now = g_seen;
    for (const std::string& record : before) {
      const auto found = std::find(now.begin(), now.end(), record);
      if (found != now.end()) {
        now.erase(found);
      } else {
        std::printf("-- removed: %s\n", record.c_str());
      }
    }
    std::fflush(stdout);
    return 0;
  }
  return DefWindowProcW(window, msg, wparam, lparam);
}

// Prints |path| after every registration broadcast, until the program ends.
int Watch(const std::u16string& path) {
  g_path = &path;
  std::u16string name = orvo::platform::Utf8ToUtf16(kBroadcastName);
  g_broadcast = RegisterWindowMessageW(reinterpret_cast<const wchar_t*>(name.c_str()));
  WNDCLASSEXW window_class = {};
  window_class.cbSize = sizeof(window_class);
  window_class.lpfnWndProc = WatchProc;
  window_class.hInstance = GetModuleHandleW(nullptr);
  window_class.lpszClassName = L"OrvoReaderWatch";
  // Broadcasts reach top-level windows only (not message-only ones); the
  // window is never shown.
  HWND window = nullptr;
  if (g_broadcast != 0 && RegisterClassExW(&window_class) != 0) {
    window = CreateWindowExW(0, window_class.lpszClassName, L"reader", WS_OVERLAPPEDWINDOW,
                             CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, nullptr,
                             nullptr, window_class.hInstance, nullptr);
  }
  if (window == nullptr) {
    std::fprintf(stderr, "reader: cannot listen for the broadcast\n");
    return 1;
  }
  std::printf("-- watching for %s\n", kBroadcastName);
  std::fflush(stdout);
  MSG msg;
  while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
  DestroyWindow(window);
  return 0;
}
#endif

int Run(const std::vector<std::u16string>& args) {
  bool watch = false;
  std::u16string path;
  for (const std::u16string& arg : args) {
    if (arg == u"--watch") {
      watch = true;
    } else if (arg == u"--version") {
      std::printf("reader (store %s)\n", ORVO_VERSION_STRING);
      return 0;
    } else if (arg.empty() || arg[0] == u'-' || !path.empty()) {
      std::fprintf(stderr, "usage: reader [--watch] [FILE]\n");
      return 2;
    } else {
      path = arg;
    }
  }
  if (path.empty()) path = DefaultPath();
  if (path.empty()) {
    std::fprintf(stderr, "reader: the machine-wide application data folder is not known\n");
    return 1;
  }
  std::printf("%s\n", ForPeople(path).c_str());
  if (!PrintFile(path, &g_seen) && !watch) return 1;
#ifdef _WIN32
  if (watch) return Watch(path);
#else
  if (watch) {
    std::fprintf(stderr, "reader: --watch needs Windows (the broadcast is a window message)\n");
    return 2;
  }
#endif
  return 0;
}

}  // namespace

#ifdef _WIN32
int wmain(int argc, wchar_t** argv) {
  _setmode(_fileno(stdout), _O_BINARY);
  std::vector<std::u16string> args;
  for (int i = 1; i < argc; ++i) args.emplace_back(reinterpret_cast<const char16_t*>(argv[i]));
  return Run(args);
}
#else
int main(int argc, char** argv) {
  std::vector<std::u16string> args;
  for (int i = 1; i < argc; ++i) args.push_back(orvo::platform::Utf8ToUtf16(argv[i]));
  return Run(args);
}
#endif
