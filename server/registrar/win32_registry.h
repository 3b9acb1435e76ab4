// The system registry behind the Registry interface (Windows only).
//
// Keys are opened in the calling process's own view (a 32-bit process sees
// the 32-bit view). The predefined root handles are used as they are.
#ifndef ORVO_SERVER_REGISTRAR_WIN32_REGISTRY_H_
#define ORVO_SERVER_REGISTRAR_WIN32_REGISTRY_H_

#include "server/registrar/registry.h"

namespace orvo::registrar {

class Win32Registry : public Registry {
 public:
  Result CreateKey(RegistryRoot root, std::u16string_view path) override;
  Result KeyExists(RegistryRoot root, std::u16string_view path) override;
  Result DeleteTree(RegistryRoot root, std::u16string_view path) override;
  Result SetStringValue(RegistryRoot root, std::u16string_view path, std::u16string_view name,
                        std::u16string_view data) override;
  Result DeleteValue(RegistryRoot root, std::u16string_view path,
                     std::u16string_view name) override;
  Result GetStringValue(RegistryRoot root, std::u16string_view path, std::u16string_view name,
                        std::u16string* data) override;
  Result EnumerateSubkeys(RegistryRoot root, std::u16string_view path,
                          std::vector<std::u16string>* names) override;
  Result EnumerateValues(RegistryRoot root, std::u16string_view path,
                         std::vector<std::u16string>* names) override;
};

}  // namespace orvo::registrar

#endif  // ORVO_SERVER_REGISTRAR_WIN32_REGISTRY_H_
