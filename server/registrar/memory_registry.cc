#include "server/registrar/memory_registry.h"

#include "platform/result.h"
#include "server/registrar/fold.h"

namespace orvo::registrar {

namespace {

// Calls |visit| with each component of a valid path, in order.
template <typename Visit>
bool ForEachComponent(std::u16string_view path, Visit visit) {
  if (path.empty()) return true;
  size_t start = 0;
  while (true) {
    const size_t end = path.find(u'\\', start);
    const size_t stop = end == std::u16string_view::npos ? path.size() : end;
    if (!visit(path.substr(start, stop - start))) return false;
    if (end == std::u16string_view::npos) return true;
    start = end + 1;
  }
}

// Splits a non-empty valid path into its parent path and last component.
void SplitLast(std::u16string_view path, std::u16string_view* parent, std::u16string_view* last) {
  const size_t cut = path.rfind(u'\\');
  if (cut == std::u16string_view::npos) {
    *parent = std::u16string_view();
    *last = path;
  } else {
    *parent = path.substr(0, cut);
    *last = path.substr(cut + 1);
  }
}

}  // namespace

MemoryRegistry::Key* MemoryRegistry::Find(RegistryRoot root, std::u16string_view path) {
  Key* key = &roots_[static_cast<int>(root)];
  ForEachComponent(path, [&key](std::u16string_view name) {
    auto it = key->subkeys.find(Folded(name));
    key = it == key->subkeys.end() ? nullptr : it->second.get();
    return key != nullptr;
  });
  return key;
}

Result MemoryRegistry::CreateKey(RegistryRoot root, std::u16string_view path) {
  if (!IsValidKeyPath(path)) return kResultInvalidArg;
  Key* key = &roots_[static_cast<int>(root)];
  ForEachComponent(path, [&key](std::u16string_view name) {
    std::unique_ptr<Key>& slot = key->subkeys[Folded(name)];
    if (slot == nullptr) {
      slot = std::make_unique<Key>();
      slot->name = std::u16string(name);
    }
    key = slot.get();
    return true;
  });
  return kResultOk;
}

Result MemoryRegistry::KeyExists(RegistryRoot root, std::u16string_view path) {
  if (!IsValidKeyPath(path)) return kResultInvalidArg;
  return Find(root, path) != nullptr ? kResultOk : kResultFalse;
}

Result MemoryRegistry::DeleteTree(RegistryRoot root, std::u16string_view path) {
  if (path.empty() || !IsValidKeyPath(path)) return kResultInvalidArg;
  std::u16string_view parent_path, name;
  SplitLast(path, &parent_path, &name);
  Key* parent = Find(root, parent_path);
  if (parent == nullptr || parent->subkeys.erase(Folded(name)) == 0) return kResultNotFound;
  return kResultOk;
}

Result MemoryRegistry::SetStringValue(RegistryRoot root, std::u16string_view path,
                                      std::u16string_view name, std::u16string_view data) {
  if (!IsValidKeyPath(path)) return kResultInvalidArg;
  Key* key = Find(root, path);
  if (key == nullptr) return kResultNotFound;
  Value& value = key->values[Folded(name)];
  if (value.name.empty()) value.name = std::u16string(name);
  value.data = std::u16string(data);
  return kResultOk;
}

Result MemoryRegistry::DeleteValue(RegistryRoot root, std::u16string_view path,
                                   std::u16string_view name) {
  if (!IsValidKeyPath(path)) return kResultInvalidArg;
  Key* key = Find(root, path);
  if (key == nullptr || key->values.erase(Folded(name)) == 0) return kResultNotFound;
  return kResultOk;
}

Result MemoryRegistry::GetStringValue(RegistryRoot root, std::u16string_view path,
                                      std::u16string_view name, std::u16string* data) {
  if (!IsValidKeyPath(path)) return kResultInvalidArg;
  Key* key = Find(root, path);
  if (key == nullptr) return kResultNotFound;
  auto it = key->values.find(Folded(name));
  if (it == key->values.end()) return kResultNotFound;
  *data = it->second.data;
  return kResultOk;
}

Result MemoryRegistry::EnumerateSubkeys(RegistryRoot root, std::u16string_view path,
                                        std::vector<std::u16string>* names) {
  if (!IsValidKeyPath(path)) return kResultInvalidArg;
  Key* key = Find(root, path);
  if (key == nullptr) return kResultNotFound;
  names->clear();
  for (const auto& entry : key->subkeys) names->push_back(entry.second->name);
  return kResultOk;
}

Result MemoryRegistry::EnumerateValues(RegistryRoot root, std::u16string_view path,
                                       std::vector<std::u16string>* names) {
  if (!IsValidKeyPath(path)) return kResultInvalidArg;
  Key* key = Find(root, path);
  if (key == nullptr) return kResultNotFound;
  names->clear();
  for (const auto& entry : key->values) names->push_back(entry.second.name);
  return kResultOk;
}

}  // namespace orvo::registrar
