// A stand-in for the outside component "Quodlet.dll": its GetConfig hands out
// one file object of its own, which it keeps and shares with other code.
// Built only for the test that checks how the install operations treat such
// an object; the real component is closed.
#include <windows.h>

#include <string>

#include "platform/shell.h"
#include "store/config_file.h"
#include "store/key.h"
#include "store/ref.h"

using orvo::store::CreateConfigFile;

namespace {

CConfigFile* g_file = nullptr;  // holds the component's own reference
int g_calls = 0;

std::u16string SharedPath() {
  char16_t folder[orvo::platform::kMaxPath] = {};
  orvo::platform::CommonAppDataFolder(folder);
  return std::u16string(folder) + u"\\Tamsiver\\Quodlet.set";
}

}  // namespace

extern "C" {

__declspec(dllexport) IConfigFile* GetConfig() {
  ++g_calls;
  if (g_file == nullptr) g_file = CreateConfigFile(SharedPath().c_str(), 4);
  if (g_file == nullptr) return nullptr;
  g_file->AddRef();
  return g_file;
}

__declspec(dllexport) int QuodletGetConfigCalls() { return g_calls; }

// References held on the shared object, its own included.
__declspec(dllexport) int QuodletReferenceCount() {
  if (g_file == nullptr) return 0;
  g_file->AddRef();
  return g_file->Release();
}

__declspec(dllexport) int QuodletLiveKeyCount() {
  return g_file != nullptr ? g_file->LiveKeyCount() : -1;
}

__declspec(dllexport) int QuodletInvariantsHold() {
  return g_file != nullptr && g_file->CheckInvariants(nullptr) ? 1 : 0;
}

// Application records in the shared tree, read through the component's own
// key objects.
__declspec(dllexport) int QuodletApplicationCount() {
  if (g_file == nullptr) return -1;
  auto apps = CfRef<ICfKey>::Adopt(g_file->OpenKey(u"APP", false));
  int n = 0;
  if (apps) {
    while (CfRef<ICfKey>::Adopt(apps->GetChildById(1, n))) ++n;
  }
  return n;
}

__declspec(dllexport) void QuodletShutdown() {
  if (g_file != nullptr) g_file->Release();
  g_file = nullptr;
}

}  // extern "C"
