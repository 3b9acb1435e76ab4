#include "tests/server/com/server_library.h"

#include <algorithm>
#include <cwctype>

#include "server/guids.h"

namespace orvo::server::testing {

namespace {

template <typename Fn>
Fn Export(HMODULE module, const char* name) {
  return reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

std::wstring Upper(std::wstring text) {
  for (wchar_t& c : text) c = static_cast<wchar_t>(std::towupper(c));
  return text;
}

UniqueHkey OpenKey(HKEY root, const std::wstring& path) {
  UniqueHkey key;
  RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, key.put());
  return key;
}

}  // namespace

std::wstring TestFolder() {
  wchar_t path[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring folder(path);
  folder.resize(folder.find_last_of(L'\\') + 1);
  return folder;
}

std::wstring ServerPath() { return TestFolder() + L"OrvoComm.dll"; }

ServerLibrary::ServerLibrary(const std::wstring& path) : module_(LoadLibraryW(path.c_str())) {
  if (!module_) return;
  get_class_object_ = Export<GetClassObjectFn>(module_.get(), "DllGetClassObject");
  can_unload_now_ = Export<CanUnloadNowFn>(module_.get(), "DllCanUnloadNow");
  register_server_ = Export<RegisterFn>(module_.get(), "DllRegisterServer");
  unregister_server_ = Export<RegisterFn>(module_.get(), "DllUnregisterServer");
  install_ = Export<InstallFn>(module_.get(), "DllInstall");
  if (!can_unload_now_ || !register_server_ || !unregister_server_ || !install_) {
    get_class_object_ = nullptr;
  }
}

ComPtr<IClassFactory> ServerLibrary::Factory(REFCLSID clsid) const {
  ComPtr<IClassFactory> factory;
  GetClassObject(clsid, IID_IClassFactory, factory.put_void());
  return factory;
}

std::wstring GuidString(REFGUID guid) {
  wchar_t text[40] = {};
  StringFromGUID2(guid, text, 40);
  return Upper(text);
}

bool KeyExists(HKEY root, const std::wstring& path) {
  return static_cast<bool>(OpenKey(root, path));
}

std::optional<std::wstring> ReadString(HKEY root, const std::wstring& path,
                                       const std::wstring& name) {
  UniqueHkey key = OpenKey(root, path);
  if (!key) return std::nullopt;
  DWORD type = 0;
  DWORD size = 0;
  if (RegQueryValueExW(key.get(), name.c_str(), nullptr, &type, nullptr, &size) != ERROR_SUCCESS ||
      type != REG_SZ) {
    return std::nullopt;
  }
  std::wstring data(size / sizeof(wchar_t) + 1, L'\0');
  if (RegQueryValueExW(key.get(), name.c_str(), nullptr, nullptr,
                       reinterpret_cast<BYTE*>(data.data()), &size) != ERROR_SUCCESS) {
    return std::nullopt;
  }
  data.resize(wcsnlen(data.c_str(), size / sizeof(wchar_t)));
  return data;
}

std::vector<std::wstring> Subkeys(HKEY root, const std::wstring& path) {
  std::vector<std::wstring> names;
  UniqueHkey key = OpenKey(root, path);
  if (!key) return names;
  for (DWORD i = 0;; ++i) {
    wchar_t name[256];
    DWORD length = 256;
    if (RegEnumKeyExW(key.get(), i, name, &length, nullptr, nullptr, nullptr, nullptr) !=
        ERROR_SUCCESS) {
      break;
    }
    names.push_back(Upper(name));
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::vector<std::wstring> ValueNames(HKEY root, const std::wstring& path) {
  std::vector<std::wstring> names;
  UniqueHkey key = OpenKey(root, path);
  if (!key) return names;
  for (DWORD i = 0;; ++i) {
    wchar_t name[16384];
    DWORD length = 16384;
    if (RegEnumValueW(key.get(), i, name, &length, nullptr, nullptr, nullptr, nullptr) !=
        ERROR_SUCCESS) {
      break;
    }
    names.push_back(Upper(name));
  }
  std::sort(names.begin(), names.end());
  return names;
}

void RemoveAllRegistration() {
  const std::wstring keys[] = {
      std::wstring(L"CLSID\\") + kICommonInterfaceClsidString,
      std::wstring(L"CLSID\\") + kTamsiverCommonInterfaceClsidString,
      std::wstring(L"TypeLib\\") + kLibIdString,
      std::wstring(L"AppID\\") + kAppIdString,
      std::wstring(L"Interface\\") + GuidString(IID_IICommonInterface),
      std::wstring(L"Interface\\") + GuidString(IID_ITamsiverCommonInterface),
      std::wstring(L"Interface\\") + GuidString(IID_IICommonInterface2),
      kProgId,
      kVersionIndependentProgId,
  };
  for (const std::wstring& key : keys) {
    RegDeleteTreeW(kMachineClasses, (kMachineClassesPath + key).c_str());
    RegDeleteTreeW(kUserClasses, (kUserClassesPath + key).c_str());
    RegDeleteKeyW(kMachineClasses, (kMachineClassesPath + key).c_str());
    RegDeleteKeyW(kUserClasses, (kUserClassesPath + key).c_str());
  }
}

int RunProcess(const std::wstring& command_line) {
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process = {};
  std::wstring writable = command_line;
  if (!CreateProcessW(nullptr, writable.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                      &startup, &process)) {
    return -1;
  }
  UniqueHandle process_handle(process.hProcess);
  UniqueHandle thread_handle(process.hThread);
  if (WaitForSingleObject(process.hProcess, 120000) != WAIT_OBJECT_0) return -1;
  DWORD code = 0;
  if (!GetExitCodeProcess(process.hProcess, &code)) return -1;
  return static_cast<int>(code);
}

std::wstring Regsvr32() {
  wchar_t system[MAX_PATH] = {};
  GetSystemDirectoryW(system, MAX_PATH);
  return Quoted(std::wstring(system) + L"\\regsvr32.exe");
}

std::wstring Quoted(const std::wstring& text) { return L"\"" + text + L"\""; }

}  // namespace orvo::server::testing
