// msi_registry: the registry entries of registry scripts as the rows of an
// installer's registry table, written as WiX elements (wix_registry.h).
//
//   msi_registry [--set NAME=VALUE]... SCRIPT...
//
// Each SCRIPT (8-bit text, as the module carries it) is registered, with the
// replacements given by --set, into a registry held in memory, which is then
// written out. Exit status: 0; 1 when a script cannot be read or run or its
// entries have no table form; 2 for usage errors.
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "platform/result.h"
#include "server/registrar/memory_registry.h"
#include "server/registrar/script.h"
#include "tools/msi_registry/wix_registry.h"

namespace {

using orvo::registrar::MemoryRegistry;
using orvo::registrar::ScriptRegistrar;

int Usage() {
  std::fprintf(stderr, "usage: msi_registry [--set NAME=VALUE]... SCRIPT...\n");
  return 2;
}

std::u16string Widen(const std::string& text) {
  // Replacements and scripts are ASCII; a byte above 0x7F stays as its code.
  return std::u16string(text.begin(), text.end());
}

}  // namespace

int main(int argc, char** argv) {
  MemoryRegistry registry;
  ScriptRegistrar registrar(&registry);
  std::vector<std::string> scripts;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--set" && i + 1 < argc) {
      const std::string pair = argv[++i];
      const size_t equals = pair.find('=');
      if (equals == std::string::npos ||
          orvo::Failed(registrar.AddReplacement(Widen(pair.substr(0, equals)),
                                                Widen(pair.substr(equals + 1))))) {
        std::fprintf(stderr, "msi_registry: bad replacement: %s\n", pair.c_str());
        return 2;
      }
    } else if (arg.rfind("--", 0) == 0) {
      return Usage();
    } else {
      scripts.push_back(arg);
    }
  }
  if (scripts.empty()) return Usage();

  for (const std::string& path : scripts) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
      std::fprintf(stderr, "msi_registry: cannot read %s\n", path.c_str());
      return 1;
    }
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const orvo::Result result = registrar.RunAscii(text, true);
    if (orvo::Failed(result)) {
      std::fprintf(stderr, "msi_registry: %s: script failed (0x%08X)\n", path.c_str(),
                   static_cast<unsigned>(result));
      return 1;
    }
  }

  std::string out;
  if (orvo::Failed(orvo::msi::WriteWixRegistry(registry, &out))) {
    std::fprintf(stderr, "msi_registry: the entries have no registry-table form\n");
    return 1;
  }
  std::fputs(out.c_str(), stdout);
  return std::ferror(stdout) ? 1 : 0;
}
