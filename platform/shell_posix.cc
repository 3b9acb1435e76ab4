#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "platform/shell.h"
#include "platform/utf.h"

namespace orvo::platform {

namespace {
std::atomic<uint64_t> g_broadcasts{0};
}  // namespace

bool CommonAppDataFolder(char16_t* buffer) {
  const char* dir = std::getenv("ORVO_COMMON_APPDATA");
  if (dir == nullptr || *dir == 0) dir = "/var/lib";
  bool well_formed = false;
  std::u16string folder;
  try {
    folder = Utf8ToUtf16(dir, std::strlen(dir), &well_formed);
  } catch (const std::bad_alloc&) {
    return false;  // no memory: as a folder that cannot be resolved
  }
  if (!well_formed || folder.size() >= static_cast<size_t>(kMaxPath)) return false;
  folder.copy(buffer, folder.size());
  buffer[folder.size()] = 0;
  return true;
}

uint32_t BroadcastMessage(const char16_t* name) {
  if (name == nullptr) return 0;
  g_broadcasts.fetch_add(1);
  return 0xC000;  // registered message numbers start at 0xC000
}

uint64_t BroadcastCount() { return g_broadcasts.load(); }

}  // namespace orvo::platform
