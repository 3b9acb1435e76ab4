// Test helper for the kill test: opens FILE, turns the generation it holds
// into the next one, saves, prints the generation saved on its own line and
// starts again, until it is killed. Exits 3 when the file cannot be opened,
// 4 when it holds no whole generation, 5 when a change or a save fails.
#include <cstdio>
#include <string>

#include "platform/file.h"
#include "platform/utf.h"
#include "store/config_file.h"
#include "store/ref.h"
#include "tests/store/generation.h"

using orvo::store::CreateConfigFile;

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: store_save_loop FILE\n");
    return 2;
  }
  const std::u16string path = orvo::platform::Utf8ToUtf16(std::string(argv[1]));
  for (;;) {
    auto file =
        CfRef<CConfigFile>::Adopt(CreateConfigFile(path.c_str(), orvo::platform::kOpenAlways));
    if (!file) return 3;
    uint32_t g = 0;
    std::string why;
    if (!orvo::testing::ReadGeneration(file.get(), &g, &why)) {
      std::fprintf(stderr, "store_save_loop: %s\n", why.c_str());
      return 4;
    }
    if (!orvo::testing::WriteGeneration(file.get(), g + 1) || !file->Save(nullptr)) return 5;
    std::printf("%u\n", g + 1);
    std::fflush(stdout);
  }
}
