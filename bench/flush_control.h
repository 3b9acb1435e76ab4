// Turns the store's flushes off for a scope, to measure its work without the
// cost of reaching stable storage.
//
// The store writes through the platform's FileSystem; while a NoFlushScope
// lives, a wrapper of the real file system stands in its place whose files
// forward everything but Flush, which succeeds at once. Not thread-safe: one
// scope at a time, on the benchmark's thread.
#ifndef ORVO_BENCH_FLUSH_CONTROL_H_
#define ORVO_BENCH_FLUSH_CONTROL_H_

#include <cstdint>

#include "platform/file.h"

namespace orvo::bench {

class NoFlushScope {
 public:
  NoFlushScope();
  ~NoFlushScope();
  NoFlushScope(const NoFlushScope&) = delete;
  NoFlushScope& operator=(const NoFlushScope&) = delete;

 private:
  platform::FileSystem* previous_;
};

// Counts the flushes the store asks for through the real file system while a
// FlushCounterScope lives (they still happen).
class FlushCounterScope {
 public:
  FlushCounterScope();
  ~FlushCounterScope();
  FlushCounterScope(const FlushCounterScope&) = delete;
  FlushCounterScope& operator=(const FlushCounterScope&) = delete;
  uint64_t flushes() const;

 private:
  platform::FileSystem* previous_;
};

}  // namespace orvo::bench

#endif  // ORVO_BENCH_FLUSH_CONTROL_H_
