#include <shlobj.h>
#include <windows.h>

#include <atomic>

#include "platform/shell.h"

namespace orvo::platform {

namespace {
std::atomic<uint64_t> g_broadcasts{0};
}  // namespace

bool CommonAppDataFolder(char16_t* buffer) {
  wchar_t path[MAX_PATH] = {};
  if (!SHGetSpecialFolderPathW(nullptr, path, CSIDL_COMMON_APPDATA, FALSE)) return false;
  for (int i = 0; i < kMaxPath; ++i) {
    buffer[i] = static_cast<char16_t>(path[i]);
    if (path[i] == 0) break;
  }
  buffer[kMaxPath - 1] = 0;
  return true;
}

uint32_t BroadcastMessage(const char16_t* name) {
  if (name == nullptr) return 0;
  const UINT msg = RegisterWindowMessageW(reinterpret_cast<const wchar_t*>(name));
  PostMessageW(HWND_BROADCAST, msg, 0, 0);
  g_broadcasts.fetch_add(1);
  return msg;
}

uint64_t BroadcastCount() { return g_broadcasts.load(); }

}  // namespace orvo::platform
