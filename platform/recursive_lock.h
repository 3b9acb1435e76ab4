// A re-entrant lock: a critical section in the Windows build, a recursive
// mutex natively (the mingw win32 thread model has no std::recursive_mutex).
#ifndef ORVO_PLATFORM_RECURSIVE_LOCK_H_
#define ORVO_PLATFORM_RECURSIVE_LOCK_H_

#ifdef _WIN32
#include <windows.h>
#else
#include <mutex>
#endif

namespace orvo::platform {

class RecursiveLock {
 public:
#ifdef _WIN32
  RecursiveLock() { InitializeCriticalSection(&cs_); }
  ~RecursiveLock() { DeleteCriticalSection(&cs_); }
  void Lock() { EnterCriticalSection(&cs_); }
  void Unlock() { LeaveCriticalSection(&cs_); }
#else
  RecursiveLock() = default;
  void Lock() { mu_.lock(); }
  void Unlock() { mu_.unlock(); }
#endif
  RecursiveLock(const RecursiveLock&) = delete;
  RecursiveLock& operator=(const RecursiveLock&) = delete;

 private:
#ifdef _WIN32
  CRITICAL_SECTION cs_;
#else
  std::recursive_mutex mu_;
#endif
};

// Holds a RecursiveLock for one scope.
class LockGuard {
 public:
  explicit LockGuard(RecursiveLock& lock) : lock_(lock) { lock_.Lock(); }
  ~LockGuard() { lock_.Unlock(); }
  LockGuard(const LockGuard&) = delete;
  LockGuard& operator=(const LockGuard&) = delete;

 private:
  RecursiveLock& lock_;
};

}  // namespace orvo::platform

#endif  // ORVO_PLATFORM_RECURSIVE_LOCK_H_
