// The registry as the registrar sees it: keys addressed by a root and a
// backslash-separated path, string values, UTF-16 names.
//
// A path is relative to its root; the empty path is the root itself. Every
// component must be 1 to 255 units long, so a path never begins or ends with
// a backslash or holds two in a row, and a path has at most 512 components. Names of keys and
// values compare without regard to case. A value name of "" is the key's default value.
//
// Every operation returns a result code (platform/result.h); a key or value that does
// not exist gives kResultNotFound, a malformed path kResultInvalidArg. Implementations
// may throw std::bad_alloc; ScriptRegistrar turns it into kResultOutOfMemory.
#ifndef ORVO_SERVER_REGISTRAR_REGISTRY_H_
#define ORVO_SERVER_REGISTRAR_REGISTRY_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/result.h"

namespace orvo::registrar {

enum class RegistryRoot : uint8_t {
  kClassesRoot,    // HKEY_CLASSES_ROOT, HKCR
  kCurrentUser,    // HKEY_CURRENT_USER, HKCU
  kLocalMachine,   // HKEY_LOCAL_MACHINE, HKLM
  kUsers,          // HKEY_USERS, HKU
  kCurrentConfig,  // HKEY_CURRENT_CONFIG, HKCC
};
constexpr int kRegistryRootCount = 5;

// The root named |name|, short or long form, in any letter case. False for
// any other name.
bool ParseRegistryRoot(std::u16string_view name, RegistryRoot* root);

// The short form of |root| ("HKCR" ...).
const char16_t* RegistryRootName(RegistryRoot root);

// True when |path| has at most 512 components and each is 1 to 255 units
// long (the empty path, naming the root, included).
bool IsValidKeyPath(std::u16string_view path);

class Registry {
 public:
  virtual ~Registry() = default;

  // Creates the key with any missing parents, or finds the existing one.
  virtual Result CreateKey(RegistryRoot root, std::u16string_view path) = 0;

  // kResultOk when the key exists, kResultFalse when it does not.
  virtual Result KeyExists(RegistryRoot root, std::u16string_view path) = 0;

  // Deletes the key with all its subkeys and values. A root cannot be
  // deleted: the empty path gives kResultInvalidArg.
  virtual Result DeleteTree(RegistryRoot root, std::u16string_view path) = 0;

  // Sets a string value of an existing key, replacing any earlier value of
  // that name.
  virtual Result SetStringValue(RegistryRoot root, std::u16string_view path,
                                std::u16string_view name, std::u16string_view data) = 0;

  virtual Result DeleteValue(RegistryRoot root, std::u16string_view path,
                             std::u16string_view name) = 0;

  // Reads a string value; kResultTypeMismatch for a value of another type.
  virtual Result GetStringValue(RegistryRoot root, std::u16string_view path,
                                std::u16string_view name, std::u16string* data) = 0;

  // The names of the key's direct subkeys / of its values, in the order the
  // registry gives them.
  virtual Result EnumerateSubkeys(RegistryRoot root, std::u16string_view path,
                                  std::vector<std::u16string>* names) = 0;
  virtual Result EnumerateValues(RegistryRoot root, std::u16string_view path,
                                 std::vector<std::u16string>* names) = 0;

  Result SetDefaultValue(RegistryRoot root, std::u16string_view path, std::u16string_view data) {
    return SetStringValue(root, path, u"", data);
  }
};

}  // namespace orvo::registrar

#endif  // ORVO_SERVER_REGISTRAR_REGISTRY_H_
