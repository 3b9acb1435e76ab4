// broadcast_listener: waits in a hidden top-level window for the window
// message that OrvoComm.dll broadcasts after each registration, and prints
// every one that arrives. For demonstrations and tests in another process
// than the one that notifies.
//
//   broadcast_listener [--count N] [--timeout-ms MS] [--quiet-ms MS] [--ready-event NAME]
//
// Prints "ready" once the window exists (and sets the named event, if given),
// then "received broadcast 0xC0xx wParam=0 lParam=0" for each message.
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cerrno>
#include <cstdio>
#include <cwchar>
#include <string>

#include "install/record_layout.h"
#include "tools/broadcast_listener/listener_window.h"

namespace orvo::listener {
namespace {

constexpr int kExitGotThem = 0;
constexpr int kExitTimedOut = 1;
constexpr int kExitError = 2;
constexpr int kExitTooMany = 3;

struct Options {
  int count = 1;
  DWORD timeout_ms = 30000;
  DWORD quiet_ms = 0;
  std::wstring ready_event;
};

void PrintUsage(std::FILE* f) {
  std::fprintf(f,
               "usage: broadcast_listener [--count N] [--timeout-ms MS] [--quiet-ms MS] "
               "[--ready-event NAME]\n"
               "  waits in a hidden top-level window for N (default 1) broadcasts of the\n"
               "  registered window message of the Tamsiver registration file\n"
               "  --timeout-ms MS     how long to wait for them (default 30000)\n"
               "  --quiet-ms MS       then listen MS longer; a further broadcast is an error\n"
               "  --ready-event NAME  set this existing named event when listening\n"
               "exit status: 0 got them, 1 timed out, 2 usage or set-up error,\n"
               "  3 more than N arrived\n");
}

// A whole decimal number in [min, max], or false.
bool ParseNumber(const wchar_t* text, unsigned long min, unsigned long max, unsigned long* out) {
  if (text == nullptr || *text < L'0' || *text > L'9') return false;
  wchar_t* end = nullptr;
  errno = 0;
  const unsigned long value = std::wcstoul(text, &end, 10);
  if (errno != 0 || *end != L'\0' || value < min || value > max) return false;
  *out = value;
  return true;
}

bool ParseOptions(int argc, wchar_t** argv, Options* options) {
  constexpr unsigned long kMaxMs = 24ul * 60 * 60 * 1000;
  for (int i = 1; i < argc; ++i) {
    const std::wstring flag = argv[i];
    const wchar_t* value = i + 1 < argc ? argv[i + 1] : nullptr;
    unsigned long number = 0;
    if (flag == L"--count" && ParseNumber(value, 1, 1000000, &number)) {
      options->count = static_cast<int>(number);
    } else if (flag == L"--timeout-ms" && ParseNumber(value, 0, kMaxMs, &number)) {
      options->timeout_ms = number;
    } else if (flag == L"--quiet-ms" && ParseNumber(value, 0, kMaxMs, &number)) {
      options->quiet_ms = number;
    } else if (flag == L"--ready-event" && value != nullptr && *value != L'\0') {
      options->ready_event = value;
    } else {
      return false;
    }
    ++i;
  }
  return true;
}

bool SignalReady(const std::wstring& event_name) {
  if (event_name.empty()) return true;
  HANDLE event = OpenEventW(EVENT_MODIFY_STATE, FALSE, event_name.c_str());
  if (event == nullptr) return false;
  const bool set = SetEvent(event) != FALSE;
  CloseHandle(event);
  return set;
}

int Run(int argc, wchar_t** argv) {
  Options options;
  if (!ParseOptions(argc, argv, &options)) {
    PrintUsage(stderr);
    return kExitError;
  }
  const auto* name = reinterpret_cast<const wchar_t*>(install::kBroadcastMessageName);
  ListenerWindow window(name, stdout);
  if (!window.ok()) {
    std::fprintf(stderr, "broadcast_listener: cannot create the window (error %lu)\n",
                 GetLastError());
    return kExitError;
  }
  std::printf("listening for %ls (message 0x%04X), %d expected\n", name, window.message(),
              options.count);
  if (!SignalReady(options.ready_event)) {
    std::fprintf(stderr, "broadcast_listener: cannot set the event %ls (error %lu)\n",
                 options.ready_event.c_str(), GetLastError());
    return kExitError;
  }
  std::printf("ready\n");
  std::fflush(stdout);

  if (window.PumpUntil(options.count, options.timeout_ms) < options.count) {
    std::printf("timed out after %lu ms: %d of %d broadcasts\n", options.timeout_ms,
                window.received(), options.count);
    return kExitTimedOut;
  }
  if (options.quiet_ms > 0 &&
      window.PumpUntil(options.count + 1, options.quiet_ms) > options.count) {
    std::printf("more than %d broadcasts\n", options.count);
    return kExitTooMany;
  }
  std::printf("got %d broadcast%s\n", options.count, options.count == 1 ? "" : "s");
  return kExitGotThem;
}

}  // namespace
}  // namespace orvo::listener

int wmain(int argc, wchar_t** argv) {
  _setmode(_fileno(stdout), _O_BINARY);
  const int code = orvo::listener::Run(argc, argv);
  std::fflush(stdout);
  return code;
}
