// Test helpers: OrvoComm.dll loaded by path with its entry points, the
// registry entries it writes, and child processes.
#ifndef ORVO_TESTS_SERVER_COM_SERVER_LIBRARY_H_
#define ORVO_TESTS_SERVER_COM_SERVER_LIBRARY_H_

#include <oaidl.h>
#include <windows.h>

#include <optional>
#include <string>
#include <vector>

#include "server/unique.h"

namespace orvo::server::testing {

// The folder of the running test program, with a trailing backslash.
std::wstring TestFolder();

// The DLL under test: OrvoComm.dll beside the test program.
std::wstring ServerPath();

// The module loaded with LoadLibraryW (fresh module records when no one else
// holds it) and its five exports; FreeLibrary when destroyed.
class ServerLibrary {
 public:
  using GetClassObjectFn = HRESULT(WINAPI*)(REFCLSID, REFIID, void**);
  using CanUnloadNowFn = HRESULT(WINAPI*)();
  using RegisterFn = HRESULT(WINAPI*)();
  using InstallFn = HRESULT(WINAPI*)(BOOL, LPCWSTR);

  explicit ServerLibrary(const std::wstring& path = ServerPath());
  ServerLibrary(const ServerLibrary&) = delete;
  ServerLibrary& operator=(const ServerLibrary&) = delete;

  bool loaded() const { return static_cast<bool>(module_) && get_class_object_ != nullptr; }
  HMODULE module() const { return module_.get(); }

  HRESULT GetClassObject(REFCLSID clsid, REFIID iid, void** out) const {
    return get_class_object_(clsid, iid, out);
  }
  HRESULT CanUnloadNow() const { return can_unload_now_(); }
  HRESULT RegisterServer() const { return register_server_(); }
  HRESULT UnregisterServer() const { return unregister_server_(); }
  HRESULT Install(BOOL install, const wchar_t* command_line) const {
    return install_(install, command_line);
  }

  // The class factory of |clsid|, or null.
  ComPtr<IClassFactory> Factory(REFCLSID clsid) const;

 private:
  UniqueModule module_;
  GetClassObjectFn get_class_object_ = nullptr;
  CanUnloadNowFn can_unload_now_ = nullptr;
  RegisterFn register_server_ = nullptr;
  RegisterFn unregister_server_ = nullptr;
  InstallFn install_ = nullptr;
};

// --- Registry ----------------------------------------------------------------

// "{...}" with upper-case digits.
std::wstring GuidString(REFGUID guid);

bool KeyExists(HKEY root, const std::wstring& path);
// The string value |name| ("" for the default value), or nothing.
std::optional<std::wstring> ReadString(HKEY root, const std::wstring& path,
                                       const std::wstring& name);
// Names of the direct subkeys / of the values, sorted, upper-cased.
std::vector<std::wstring> Subkeys(HKEY root, const std::wstring& path);
std::vector<std::wstring> ValueNames(HKEY root, const std::wstring& path);

// The machine-wide classes (what HKEY_CLASSES_ROOT shows in this prefix)
// and the current user's classes.
inline const HKEY kMachineClasses = HKEY_LOCAL_MACHINE;
constexpr wchar_t kMachineClassesPath[] = L"Software\\Classes\\";
inline const HKEY kUserClasses = HKEY_CURRENT_USER;
constexpr wchar_t kUserClassesPath[] = L"Software\\Classes\\";

// Deletes every entry that registration of the module may have left, machine
// wide and per user, so that each test starts and ends clean.
void RemoveAllRegistration();

// --- Processes -----------------------------------------------------------------

// Runs |command_line| and waits for it; its exit code, or -1.
int RunProcess(const std::wstring& command_line);

// The system's regsvr32.exe, quoted for a command line.
std::wstring Regsvr32();

// Quotes |text| for a command line.
std::wstring Quoted(const std::wstring& text);

}  // namespace orvo::server::testing

#endif  // ORVO_TESTS_SERVER_COM_SERVER_LIBRARY_H_
