#include "tests/testing/failing_allocator.h"

#include <execinfo.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <new>

extern "C" {
void* __real_malloc(size_t size);
void* __real_calloc(size_t count, size_t size);
void* __real_realloc(void* p, size_t size);
void* __wrap_malloc(size_t size);
void* __wrap_calloc(size_t count, size_t size);
void* __wrap_realloc(void* p, size_t size);
}

namespace {

// Invariant: while g_fail_at is 0 nothing is counted and nothing fails.
std::atomic<uint64_t> g_fail_at{0};
std::atomic<bool> g_every_after{false};
std::atomic<uint64_t> g_count{0};
std::atomic<bool> g_failed{false};
bool g_trace = false;

// Counts one allocation; true when it is to fail.
bool ShouldFail() {
  const uint64_t at = g_fail_at.load(std::memory_order_relaxed);
  if (at == 0) return false;
  const uint64_t n = g_count.fetch_add(1, std::memory_order_relaxed) + 1;
  const bool fail = n == at || (n > at && g_every_after.load(std::memory_order_relaxed));
  if (fail) {
    g_failed.store(true, std::memory_order_relaxed);
    if (g_trace) {  // ORVO_FAILING_ALLOCATOR_TRACE: where each failure lands
      void* frames[24];
      backtrace_symbols_fd(frames, backtrace(frames, 24), STDERR_FILENO);
      write(STDERR_FILENO, "--\n", 3);
    }
  }
  return fail;
}

void* Allocate(size_t size) {
  if (ShouldFail()) return nullptr;
  return __real_malloc(size == 0 ? 1 : size);
}

void* AllocateOrThrow(size_t size) {
  void* p = Allocate(size);
  if (p == nullptr) throw std::bad_alloc();
  return p;
}

}  // namespace

namespace orvo::testing {

void FailAllocationsFrom(uint64_t k, bool every_after) {
  if (std::getenv("ORVO_FAILING_ALLOCATOR_TRACE") != nullptr && !g_trace) {
    void* frames[2];
    backtrace(frames, 2);  // loads what backtrace needs before anything fails
    g_trace = true;
  }
  g_fail_at.store(0);
  g_count.store(0);
  g_failed.store(false);
  g_every_after.store(every_after);
  g_fail_at.store(k);
}

bool StopFailingAllocations() {
  g_fail_at.store(0);
  return g_failed.load();
}

uint64_t AllocationsSinceArming() { return g_count.load(); }

}  // namespace orvo::testing

extern "C" void* __wrap_malloc(size_t size) { return ShouldFail() ? nullptr : __real_malloc(size); }

extern "C" void* __wrap_calloc(size_t count, size_t size) {
  return ShouldFail() ? nullptr : __real_calloc(count, size);
}

extern "C" void* __wrap_realloc(void* p, size_t size) {
  // A realloc to 0 frees: not an allocation that can fail.
  if (p != nullptr && size == 0) return __real_realloc(p, size);
  return ShouldFail() ? nullptr : __real_realloc(p, size);
}

void* operator new(size_t size) { return AllocateOrThrow(size); }
void* operator new[](size_t size) { return AllocateOrThrow(size); }
void* operator new(size_t size, const std::nothrow_t&) noexcept { return Allocate(size); }
void* operator new[](size_t size, const std::nothrow_t&) noexcept { return Allocate(size); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, size_t) noexcept { std::free(p); }
void operator delete[](void* p, size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }
