// Test helper: a registry subtree as sorted text lines, read back through
// the Registry interface alone.
#ifndef ORVO_TESTS_SERVER_REGISTRAR_REGISTRY_DUMP_H_
#define ORVO_TESTS_SERVER_REGISTRAR_REGISTRY_DUMP_H_

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "platform/result.h"
#include "server/registrar/registry.h"

namespace orvo::registrar::testing {

// ASCII as it is; any other unit as \u{XXXX}.
inline std::string Narrow(std::u16string_view text) {
  std::string out;
  for (char16_t c : text) {
    if (c >= 0x20 && c < 0x7F) {
      out.push_back(static_cast<char>(c));
    } else {
      char buffer[16];
      std::snprintf(buffer, sizeof(buffer), "\\u{%04X}", static_cast<unsigned>(c));
      out += buffer;
    }
  }
  return out;
}

inline void DumpInto(Registry& registry, RegistryRoot root, const std::u16string& path,
                     const std::string& shown, std::vector<std::string>* lines) {
  std::vector<std::u16string> names;
  ASSERT_EQ(registry.EnumerateValues(root, path, &names), kResultOk) << Narrow(path);
  for (const std::u16string& name : names) {
    std::u16string data;
    ASSERT_EQ(registry.GetStringValue(root, path, name, &data), kResultOk) << Narrow(name);
    lines->push_back(shown + " " + (name.empty() ? "@" : Narrow(name)) + "=" + Narrow(data));
  }
  ASSERT_EQ(registry.EnumerateSubkeys(root, path, &names), kResultOk) << Narrow(path);
  for (const std::u16string& name : names) {
    const std::string child = shown.empty() ? Narrow(name) : shown + "\\" + Narrow(name);
    lines->push_back(child);
    DumpInto(registry, root, path.empty() ? name : path + u"\\" + name, child, lines);
  }
}

// Every key below |path| as "a\b" (relative to |path|) and every value as
// "a\b name=data" ("@" for the default value; values of the key at |path|
// itself as " name=data"), sorted. Empty when the key does not exist.
inline std::vector<std::string> Dump(Registry& registry, RegistryRoot root,
                                     const std::u16string& path = u"") {
  std::vector<std::string> lines;
  if (registry.KeyExists(root, path) != kResultOk) return lines;
  DumpInto(registry, root, path, "", &lines);
  std::sort(lines.begin(), lines.end());
  return lines;
}

}  // namespace orvo::registrar::testing

#endif  // ORVO_TESTS_SERVER_REGISTRAR_REGISTRY_DUMP_H_
