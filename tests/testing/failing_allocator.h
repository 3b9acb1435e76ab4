// A test allocator that fails on request. Linked into a test program it
// takes the place of operator new and delete (every form) and, through the
// linker's --wrap, of malloc, calloc and realloc as called from the
// program's own objects and static libraries (the store, install and
// platform code). A failing operator new throws std::bad_alloc, a failing
// nothrow new, malloc, calloc or realloc gives null (realloc leaves the
// block as it was).
//
// Not synchronised for concurrent arming; allocations themselves may come
// from any thread.
#ifndef ORVO_TESTS_TESTING_FAILING_ALLOCATOR_H_
#define ORVO_TESTS_TESTING_FAILING_ALLOCATOR_H_

#include <cstdint>

namespace orvo::testing {

// From now on, counting from 1, the k-th allocation fails; with
// |every_after| every later one fails too. k = 0 disarms.
void FailAllocationsFrom(uint64_t k, bool every_after);
// Disarms; returns whether an allocation failed since the last arming.
bool StopFailingAllocations();
// Allocations counted since the last arming.
uint64_t AllocationsSinceArming();

// Arms for one scope: the k-th allocation of the scope fails (and every one
// after it with |every_after|).
class ScopedAllocationFailure {
 public:
  ScopedAllocationFailure(uint64_t k, bool every_after) { FailAllocationsFrom(k, every_after); }
  ~ScopedAllocationFailure() { StopFailingAllocations(); }
  ScopedAllocationFailure(const ScopedAllocationFailure&) = delete;
  ScopedAllocationFailure& operator=(const ScopedAllocationFailure&) = delete;
};

}  // namespace orvo::testing

#endif  // ORVO_TESTS_TESTING_FAILING_ALLOCATOR_H_
