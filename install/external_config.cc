#include "install/external_config.h"

#ifdef _WIN32
#include <windows.h>
#endif

#include <atomic>

namespace orvo::install {

namespace {

std::atomic<GetConfigFn> g_override{nullptr};

#ifdef _WIN32
// Loaded once per process; the module stays loaded until the process ends.
GetConfigFn LookUpQuodlet() {
  static const GetConfigFn fn = [] {
    HMODULE module = LoadLibraryW(L"Quodlet.dll");
    if (module == nullptr) return static_cast<GetConfigFn>(nullptr);
    return reinterpret_cast<GetConfigFn>(
        reinterpret_cast<void*>(GetProcAddress(module, "GetConfig")));
  }();
  return fn;
}
#endif

}  // namespace

IConfigFile* CallGetConfig() {
  GetConfigFn fn = g_override.load();
#ifdef _WIN32
  if (fn == nullptr) fn = LookUpQuodlet();
#endif
  return fn != nullptr ? fn() : nullptr;
}

GetConfigFn SetGetConfigForTesting(GetConfigFn fn) { return g_override.exchange(fn); }

}  // namespace orvo::install
