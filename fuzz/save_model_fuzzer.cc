// The save model driven by bytes: each 5 bytes are one step (the step, then
// its argument). Traps on the first property that does not hold.
#include <cstdint>
#include <cstdio>
#include <string>

#include "tests/store/save_model.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  orvo::testing::SaveModel model;
  for (size_t i = 0; i + 5 <= size && i < 5 * 64; i += 5) {
    const uint32_t arg = data[i + 1] | data[i + 2] << 8 | data[i + 3] << 16 |
                         static_cast<uint32_t>(data[i + 4]) << 24;
    std::string why;
    if (!model.Step(data[i], arg, &why)) {
      std::fprintf(stderr, "save_model_fuzzer: %s\nsteps: %s\n", why.c_str(),
                   model.history().c_str());
      std::fflush(stderr);
      __builtin_trap();
    }
  }
  return 0;
}
