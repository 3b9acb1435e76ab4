#include "server/type_library_registration.h"

#include <oleauto.h>

#include <cwchar>
#include <string>

#include "server/hresult.h"
#include "server/module.h"
#include "server/module_path.h"
#include "server/per_user_registration.h"
#include "server/unique.h"

namespace orvo::server {

namespace {

// Not declared by every SDK's headers; looked up at run time.
using RegisterForUserFunc = HRESULT(WINAPI*)(ITypeLib* library, OLECHAR* full_path,
                                             OLECHAR* help_directory);
using UnregisterForUserFunc = HRESULT(WINAPI*)(REFGUID libid, WORD major, WORD minor, LCID lcid,
                                               SYSKIND syskind);

// |name| from an OLEAUT32.DLL already loaded in the process, or null.
template <typename Func>
Func FindOleAutomationFunction(const char* name) {
  HMODULE oleaut32 = GetModuleHandleW(L"OLEAUT32.DLL");
  if (oleaut32 == nullptr) return nullptr;
  return reinterpret_cast<Func>(reinterpret_cast<void*>(GetProcAddress(oleaut32, name)));
}

// Loads the type library carried by this module, without registering it.
HRESULT LoadModuleTypeLibrary(std::wstring* path, ComPtr<ITypeLib>* library) {
  ORVO_RETURN_IF_FAILED(GetModulePath(COrvoCommModule::instance(), path));
  return LoadTypeLibEx(path->c_str(), REGKIND_NONE, library->put());
}

}  // namespace

bool HelpDirectoryOf(const wchar_t* help_file, wchar_t (&directory)[kHelpDirectoryCapacity]) {
  directory[0] = L'\0';
  if (help_file == nullptr) return false;
  size_t length = 0;
  while (length < kHelpDirectoryCapacity - 1 && help_file[length] != L'\0') {
    directory[length] = help_file[length];
    ++length;
  }
  directory[length] = L'\0';
  while (length > 0) {
    const wchar_t c = directory[length - 1];
    if (c == L'\\' || c == L'/' || c == L':') {
      directory[length] = L'\0';
      return true;
    }
    --length;
  }
  directory[0] = L'\0';
  return false;
}

HRESULT RegisterTypeLibrary() {
  return CallNoThrow([]() -> HRESULT {
    std::wstring path;
    ComPtr<ITypeLib> library;
    ORVO_RETURN_IF_FAILED(LoadModuleTypeLibrary(&path, &library));

    wchar_t directory[kHelpDirectoryCapacity];
    OLECHAR* help_directory = nullptr;
    UniqueBstr help_file;
    if (SUCCEEDED(library->GetDocumentation(-1, nullptr, nullptr, nullptr, help_file.put())) &&
        HelpDirectoryOf(help_file.get(), directory)) {
      help_directory = directory;
    }

    if (GetPerUserRegistration()) {
      if (auto register_for_user =
              FindOleAutomationFunction<RegisterForUserFunc>("RegisterTypeLibForUser")) {
        return register_for_user(library.get(), path.data(), help_directory);
      }
    }
    return RegisterTypeLib(library.get(), path.data(), help_directory);
  });
}

HRESULT UnregisterTypeLibrary() {
  return CallNoThrow([]() -> HRESULT {
    std::wstring path;
    ComPtr<ITypeLib> library;
    ORVO_RETURN_IF_FAILED(LoadModuleTypeLibrary(&path, &library));
    TLIBATTR* attributes = nullptr;
    ORVO_RETURN_IF_FAILED(library->GetLibAttr(&attributes));
    const TLIBATTR attr = *attributes;
    library->ReleaseTLibAttr(attributes);

    if (GetPerUserRegistration()) {
      if (auto unregister_for_user =
              FindOleAutomationFunction<UnregisterForUserFunc>("UnRegisterTypeLibForUser")) {
        return unregister_for_user(attr.guid, attr.wMajorVerNum, attr.wMinorVerNum, attr.lcid,
                                   attr.syskind);
      }
    }
    return UnRegisterTypeLib(attr.guid, attr.wMajorVerNum, attr.wMinorVerNum, attr.lcid,
                             attr.syskind);
  });
}

}  // namespace orvo::server
