#include "server/registrar/registry.h"

#include "server/registrar/fold.h"

namespace orvo::registrar {

namespace {

constexpr size_t kMaxKeyNameLength = 255;
constexpr int kMaxKeyDepth = 512;

struct RootNames {
  RegistryRoot root;
  const char16_t* short_name;
  const char16_t* long_name;
};

constexpr RootNames kRootNames[kRegistryRootCount] = {
    {RegistryRoot::kClassesRoot, u"HKCR", u"HKEY_CLASSES_ROOT"},
    {RegistryRoot::kCurrentUser, u"HKCU", u"HKEY_CURRENT_USER"},
    {RegistryRoot::kLocalMachine, u"HKLM", u"HKEY_LOCAL_MACHINE"},
    {RegistryRoot::kUsers, u"HKU", u"HKEY_USERS"},
    {RegistryRoot::kCurrentConfig, u"HKCC", u"HKEY_CURRENT_CONFIG"},
};

}  // namespace

bool ParseRegistryRoot(std::u16string_view name, RegistryRoot* root) {
  for (const RootNames& r : kRootNames) {
    if (EqualsIgnoreCase(name, r.short_name) || EqualsIgnoreCase(name, r.long_name)) {
      *root = r.root;
      return true;
    }
  }
  return false;
}

const char16_t* RegistryRootName(RegistryRoot root) {
  for (const RootNames& r : kRootNames) {
    if (r.root == root) return r.short_name;
  }
  return u"?";
}

bool IsValidKeyPath(std::u16string_view path) {
  if (path.empty()) return true;
  size_t start = 0;
  for (int depth = 1; depth <= kMaxKeyDepth; ++depth) {
    const size_t end = path.find(u'\\', start);
    const size_t length = (end == std::u16string_view::npos ? path.size() : end) - start;
    if (length == 0 || length > kMaxKeyNameLength) return false;
    if (end == std::u16string_view::npos) return true;
    start = end + 1;
  }
  return false;
}

}  // namespace orvo::registrar
