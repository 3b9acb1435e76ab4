// A registry held in memory, for tests and for trying scripts out.
//
// Keys and values are kept sorted by their case-folded names and enumerate in
// that order; each keeps the spelling it was created with. Values are strings.
#ifndef ORVO_SERVER_REGISTRAR_MEMORY_REGISTRY_H_
#define ORVO_SERVER_REGISTRAR_MEMORY_REGISTRY_H_

#include <map>
#include <memory>
#include <string>

#include "server/registrar/registry.h"

namespace orvo::registrar {

class MemoryRegistry : public Registry {
 public:
  MemoryRegistry() = default;
  MemoryRegistry(const MemoryRegistry&) = delete;
  MemoryRegistry& operator=(const MemoryRegistry&) = delete;

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

 private:
  struct Value {
    std::u16string name;
    std::u16string data;
  };
  // Maps are keyed by folded names.
  struct Key {
    std::u16string name;
    std::map<std::u16string, std::unique_ptr<Key>> subkeys;
    std::map<std::u16string, Value> values;
  };

  // The key at |path|, or nullptr when it (or a parent) does not exist.
  // REQUIRES: IsValidKeyPath(path).
  Key* Find(RegistryRoot root, std::u16string_view path);

  Key roots_[kRegistryRootCount];
};

}  // namespace orvo::registrar

#endif  // ORVO_SERVER_REGISTRAR_MEMORY_REGISTRY_H_
