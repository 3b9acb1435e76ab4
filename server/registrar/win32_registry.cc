#include "server/registrar/win32_registry.h"

#include <windows.h>

#include <memory>
#include <type_traits>

#include "platform/result.h"
#include "platform/unique_win32.h"
#include "server/registrar/script.h"

namespace orvo::registrar {

// The registrar's own code is the platform's.
static_assert(kResultBadScript == DISP_E_EXCEPTION);

namespace {

using platform::UniqueHkey;

static_assert(sizeof(wchar_t) == sizeof(char16_t), "UTF-16 units are wchar_t on Windows");

HKEY RootHandle(RegistryRoot root) {
  switch (root) {
    case RegistryRoot::kClassesRoot:
      return HKEY_CLASSES_ROOT;
    case RegistryRoot::kCurrentUser:
      return HKEY_CURRENT_USER;
    case RegistryRoot::kLocalMachine:
      return HKEY_LOCAL_MACHINE;
    case RegistryRoot::kUsers:
      return HKEY_USERS;
    case RegistryRoot::kCurrentConfig:
      return HKEY_CURRENT_CONFIG;
  }
  return nullptr;
}

// A NUL-terminated copy for the system calls.
std::wstring Terminated(std::u16string_view text) {
  return std::wstring(reinterpret_cast<const wchar_t*>(text.data()), text.size());
}

std::u16string FromWide(const wchar_t* text, size_t length) {
  return std::u16string(reinterpret_cast<const char16_t*>(text), length);
}

Result FromStatus(LSTATUS status) {
  return status == ERROR_FILE_NOT_FOUND ? kResultNotFound
                                        : ResultFromSystemError(static_cast<uint32_t>(status));
}

// Opens an existing key with |access|.
Result OpenKey(RegistryRoot root, std::u16string_view path, REGSAM access, UniqueHkey* key) {
  if (!IsValidKeyPath(path)) return kResultInvalidArg;
  HKEY handle = nullptr;
  const LSTATUS status =
      ::RegOpenKeyExW(RootHandle(root), Terminated(path).c_str(), 0, access, &handle);
  if (status != ERROR_SUCCESS) return FromStatus(status);
  key->reset(handle);
  return kResultOk;
}

}  // namespace

Result Win32Registry::CreateKey(RegistryRoot root, std::u16string_view path) {
  if (!IsValidKeyPath(path)) return kResultInvalidArg;
  HKEY handle = nullptr;
  const LSTATUS status =
      ::RegCreateKeyExW(RootHandle(root), Terminated(path).c_str(), 0, nullptr,
                        REG_OPTION_NON_VOLATILE, KEY_QUERY_VALUE, nullptr, &handle, nullptr);
  if (status != ERROR_SUCCESS) return FromStatus(status);
  UniqueHkey key(handle);
  return kResultOk;
}

Result Win32Registry::KeyExists(RegistryRoot root, std::u16string_view path) {
  UniqueHkey key;
  const Result result = OpenKey(root, path, KEY_QUERY_VALUE, &key);
  return result == kResultNotFound ? kResultFalse : result;
}

Result Win32Registry::DeleteTree(RegistryRoot root, std::u16string_view path) {
  // An empty sub key would make the system empty the root itself.
  if (path.empty() || !IsValidKeyPath(path)) return kResultInvalidArg;
  return FromStatus(::RegDeleteTreeW(RootHandle(root), Terminated(path).c_str()));
}

Result Win32Registry::SetStringValue(RegistryRoot root, std::u16string_view path,
                                     std::u16string_view name, std::u16string_view data) {
  UniqueHkey key;
  ORVO_RETURN_IF_FAILED(OpenKey(root, path, KEY_SET_VALUE, &key));
  const std::wstring text = Terminated(data);
  const size_t bytes = (text.size() + 1) * sizeof(wchar_t);
  if (bytes > MAXDWORD) return kResultInvalidArg;
  return FromStatus(::RegSetValueExW(key.get(), Terminated(name).c_str(), 0, REG_SZ,
                                     reinterpret_cast<const BYTE*>(text.c_str()),
                                     static_cast<DWORD>(bytes)));
}

Result Win32Registry::DeleteValue(RegistryRoot root, std::u16string_view path,
                                  std::u16string_view name) {
  UniqueHkey key;
  ORVO_RETURN_IF_FAILED(OpenKey(root, path, KEY_SET_VALUE, &key));
  return FromStatus(::RegDeleteValueW(key.get(), Terminated(name).c_str()));
}

Result Win32Registry::GetStringValue(RegistryRoot root, std::u16string_view path,
                                     std::u16string_view name, std::u16string* data) {
  UniqueHkey key;
  ORVO_RETURN_IF_FAILED(OpenKey(root, path, KEY_QUERY_VALUE, &key));
  const std::wstring value_name = Terminated(name);
  // The value may change between the size query and the read: retry then.
  for (int attempt = 0; attempt < 4; ++attempt) {
    DWORD type = 0;
    DWORD bytes = 0;
    LSTATUS status =
        ::RegQueryValueExW(key.get(), value_name.c_str(), nullptr, &type, nullptr, &bytes);
    if (status != ERROR_SUCCESS) return FromStatus(status);
    if (type != REG_SZ && type != REG_EXPAND_SZ) return kResultTypeMismatch;
    std::wstring buffer(bytes / sizeof(wchar_t) + 1, L'\0');
    bytes = static_cast<DWORD>(buffer.size() * sizeof(wchar_t));
    status = ::RegQueryValueExW(key.get(), value_name.c_str(), nullptr, &type,
                                reinterpret_cast<BYTE*>(&buffer[0]), &bytes);
    if (status == ERROR_MORE_DATA) continue;
    if (status != ERROR_SUCCESS) return FromStatus(status);
    if (type != REG_SZ && type != REG_EXPAND_SZ) return kResultTypeMismatch;
    size_t length = bytes / sizeof(wchar_t);
    while (length > 0 && buffer[length - 1] == L'\0') --length;  // stored terminators
    *data = FromWide(buffer.data(), length);
    return kResultOk;
  }
  return ResultFromSystemError(ERROR_MORE_DATA);
}

Result Win32Registry::EnumerateSubkeys(RegistryRoot root, std::u16string_view path,
                                       std::vector<std::u16string>* names) {
  UniqueHkey key;
  ORVO_RETURN_IF_FAILED(OpenKey(root, path, KEY_ENUMERATE_SUB_KEYS, &key));
  names->clear();
  wchar_t name[256];  // key names have at most 255 units
  for (DWORD index = 0;; ++index) {
    DWORD length = ARRAYSIZE(name);
    const LSTATUS status =
        ::RegEnumKeyExW(key.get(), index, name, &length, nullptr, nullptr, nullptr, nullptr);
    if (status == ERROR_NO_MORE_ITEMS) return kResultOk;
    if (status != ERROR_SUCCESS) return FromStatus(status);
    names->push_back(FromWide(name, length));
  }
}

Result Win32Registry::EnumerateValues(RegistryRoot root, std::u16string_view path,
                                      std::vector<std::u16string>* names) {
  UniqueHkey key;
  ORVO_RETURN_IF_FAILED(OpenKey(root, path, KEY_QUERY_VALUE, &key));
  names->clear();
  std::wstring name(16384, L'\0');  // value names have at most 16383 units
  for (DWORD index = 0;; ++index) {
    DWORD length = static_cast<DWORD>(name.size());
    const LSTATUS status =
        ::RegEnumValueW(key.get(), index, &name[0], &length, nullptr, nullptr, nullptr, nullptr);
    if (status == ERROR_NO_MORE_ITEMS) return kResultOk;
    if (status != ERROR_SUCCESS) return FromStatus(status);
    names->push_back(FromWide(name.data(), length));
  }
}

}  // namespace orvo::registrar
