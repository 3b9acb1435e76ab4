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
  int32_t CreateKey(RegistryRoot root, std::u16string_view path) override;
  int32_t KeyExists(RegistryRoot root, std::u16string_view path) override;
  int32_t DeleteTree(RegistryRoot root, std::u16string_view path) override;
  int32_t SetStringValue(RegistryRoot root, std::u16string_view path, std::u16string_view name,
                         std::u16string_view data) override;
  int32_t DeleteValue(RegistryRoot root, std::u16string_view path,
                      std::u16string_view name) override;
  int32_t GetStringValue(RegistryRoot root, std::u16string_view path, std::u16string_view name,
                         std::u16string* data) override;
  int32_t EnumerateSubkeys(RegistryRoot root, std::u16string_view path,
                           std::vector<std::u16string>* names) override;
  int32_t EnumerateValues(RegistryRoot root, std::u16string_view path,
                          std::vector<std::u16string>* names) override;
};

}  // namespace orvo::registrar

#endif  // ORVO_SERVER_REGISTRAR_WIN32_REGISTRY_H_
