// Arms the failing allocator for a whole program from its environment, so
// that a test can run a tool with one allocation failing:
//   ORVO_FAIL_ALLOCATION=K   the K-th allocation fails (0: none, only counted)
//   ORVO_FAIL_ALLOCATION=K+  the K-th and every later one fail
// At a normal exit the program writes "allocations: N" (counted since it was
// armed) to its standard error.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "tests/testing/failing_allocator.h"

namespace {

class ArmFromEnvironment {
 public:
  ArmFromEnvironment() {
    const char* at = std::getenv("ORVO_FAIL_ALLOCATION");
    if (at == nullptr) return;
    char* end = nullptr;
    const uint64_t k = std::strtoull(at, &end, 10);
    armed_ = true;
    orvo::testing::FailAllocationsFrom(k == 0 ? UINT64_MAX : k, end != nullptr && *end == '+');
  }
  ~ArmFromEnvironment() {
    if (!armed_) return;
    const uint64_t n = orvo::testing::AllocationsSinceArming();
    orvo::testing::StopFailingAllocations();
    char line[64];
    const int len = std::snprintf(line, sizeof(line), "allocations: %llu\n",
                                  static_cast<unsigned long long>(n));
    if (len > 0) (void)!write(STDERR_FILENO, line, static_cast<size_t>(len));
  }
  ArmFromEnvironment(const ArmFromEnvironment&) = delete;
  ArmFromEnvironment& operator=(const ArmFromEnvironment&) = delete;

 private:
  bool armed_ = false;
};

ArmFromEnvironment g_arm;

}  // namespace
