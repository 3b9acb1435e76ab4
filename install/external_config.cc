#include "install/external_config.h"

#ifdef _WIN32
#include <windows.h>
#endif

#include <atomic>
#include <string>

namespace orvo::install {

namespace {

std::atomic<GetConfigFn> g_override{nullptr};

#ifdef _WIN32
constexpr wchar_t kQuodletName[] = L"Quodlet.dll";

// The full path of "Quodlet.dll" in the folder of the module that holds this
// code (OrvoComm.dll), or an empty text.
std::wstring QuodletBesideThisModule() {
  HMODULE self = nullptr;
  if (!GetModuleHandleExW(
          GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
          reinterpret_cast<LPCWSTR>(&QuodletBesideThisModule), &self)) {
    return std::wstring();
  }
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = GetModuleFileNameW(self, &path[0], static_cast<DWORD>(path.size()));
    if (n == 0) return std::wstring();
    if (n < path.size()) {
      path.resize(n);
      break;
    }
    if (path.size() >= 32768) return std::wstring();
    path.resize(path.size() * 2);
  }
  const size_t slash = path.find_last_of(L"\\/");
  if (slash == std::wstring::npos) return std::wstring();
  path.resize(slash + 1);
  return path + kQuodletName;
}

// The module that gives GetConfig: the one the process has loaded already,
// else the one beside OrvoComm.dll, loaded by its full path. Never a search
// by bare name, which would reach the program's folder (often a downloads
// folder) and the current folder, where anyone may have put a "Quodlet.dll".
HMODULE FindQuodlet() {
  HMODULE module = GetModuleHandleW(kQuodletName);
  if (module != nullptr) return module;
  const std::wstring path = QuodletBesideThisModule();
  if (path.empty()) return nullptr;
  // Its own imports come from its folder and the system folder only.
  module = LoadLibraryExW(path.c_str(), nullptr,
                          LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32);
  if (module == nullptr && GetLastError() == ERROR_INVALID_PARAMETER) {
    // A system without those flags: the DLL's folder in place of the program's.
    module = LoadLibraryExW(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
  }
  return module;
}

// Looked up once per process; the module stays loaded until the process ends.
GetConfigFn LookUpQuodlet() {
  static const GetConfigFn fn = [] {
    HMODULE module = FindQuodlet();
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
