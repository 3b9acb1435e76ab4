// Memory from std::malloc, freed with std::free at the end of its owner's
// life: the store takes its buffers so, to see a failed allocation as null
// rather than as an exception.
#ifndef ORVO_PLATFORM_MALLOC_BUFFER_H_
#define ORVO_PLATFORM_MALLOC_BUFFER_H_

#include <cstdint>
#include <cstdlib>
#include <memory>

namespace orvo::platform {

struct FreeDeleter {
  void operator()(void* p) const { std::free(p); }
};

// Owns bytes that were taken with std::malloc (null: none).
using MallocBuffer = std::unique_ptr<uint8_t, FreeDeleter>;

}  // namespace orvo::platform

#endif  // ORVO_PLATFORM_MALLOC_BUFFER_H_
