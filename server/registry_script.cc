#include "server/registry_script.h"

#include <string>
#include <string_view>

#include "server/hresult.h"
#include "server/module.h"
#include "server/module_path.h"
#include "server/per_user_registration.h"
#include "server/registrar/script.h"
#include "server/registrar/win32_registry.h"

namespace orvo::server {

namespace {

std::u16string_view View(const wchar_t* text) {
  return std::u16string_view(reinterpret_cast<const char16_t*>(text));
}

// The bytes of resource |number| of type "REGISTRY" in this module.
HRESULT LoadScript(UINT number, std::string_view* script) {
  const HINSTANCE instance = COrvoCommModule::instance();
  HRSRC found = FindResourceW(instance, MAKEINTRESOURCEW(number), L"REGISTRY");
  if (found == nullptr) return HResultFromLastError();
  const DWORD size = SizeofResource(instance, found);
  HGLOBAL loaded = LoadResource(instance, found);
  const void* data = loaded != nullptr ? LockResource(loaded) : nullptr;
  if (data == nullptr) return HResultFromLastError();
  *script = std::string_view(static_cast<const char*>(data), size);
  return S_OK;
}

}  // namespace

HRESULT RunRegistryScript(UINT resource, bool do_register,
                          std::initializer_list<Replacement> replacements) {
  return CallNoThrow([&]() -> HRESULT {
    registrar::Win32Registry registry;
    registrar::ScriptRegistrar script_registrar(&registry);
    for (const Replacement& replacement : replacements) {
      ORVO_RETURN_IF_FAILED(
          script_registrar.AddReplacement(View(replacement.name), View(replacement.value)));
    }
    ORVO_RETURN_IF_FAILED(Module().AddCommonRGSReplacements(&script_registrar));

    std::wstring module_path;
    ORVO_RETURN_IF_FAILED(GetModulePath(COrvoCommModule::instance(), &module_path));
    ORVO_RETURN_IF_FAILED(script_registrar.AddReplacement(u"MODULE", View(module_path.c_str())));
    script_registrar.set_per_user(GetPerUserRegistration());

    std::string_view script;
    ORVO_RETURN_IF_FAILED(LoadScript(resource, &script));
    return script_registrar.RunAscii(script, do_register);
  });
}

}  // namespace orvo::server
