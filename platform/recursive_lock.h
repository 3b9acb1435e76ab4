// The one lock of the module and its guard: a re-entrant lock (a critical
// section in the Windows build, a recursive mutex natively: the mingw win32
// thread model has no std::recursive_mutex), held for a scope by LockGuard.
#ifndef ORVO_PLATFORM_RECURSIVE_LOCK_H_
#define ORVO_PLATFORM_RECURSIVE_LOCK_H_

#ifdef _WIN32
#include <windows.h>
#else
#include <mutex>
#endif

namespace orvo::platform {

// Invariant: Lock and Unlock may be called exactly when usable() is true.
class RecursiveLock {
 public:
#ifdef _WIN32
  RecursiveLock() : usable_(InitializeCriticalSectionAndSpinCount(&cs_, 0) != FALSE) {}
  ~RecursiveLock() {
    if (usable_) DeleteCriticalSection(&cs_);
  }
  // False when the system could not set the lock up (only systems before
  // Windows Vista ever fail so); owners that can refuse to start check it.
  bool usable() const { return usable_; }
  void Lock() { EnterCriticalSection(&cs_); }
  void Unlock() { LeaveCriticalSection(&cs_); }
#else
  RecursiveLock() = default;
  bool usable() const { return true; }
  void Lock() { mu_.lock(); }
  void Unlock() { mu_.unlock(); }
#endif
  RecursiveLock(const RecursiveLock&) = delete;
  RecursiveLock& operator=(const RecursiveLock&) = delete;

 private:
#ifdef _WIN32
  CRITICAL_SECTION cs_{};
  bool usable_;
#else
  std::recursive_mutex mu_;
#endif
};

// Holds a RecursiveLock for one scope; given null, holds nothing.
class LockGuard {
 public:
  explicit LockGuard(RecursiveLock& lock) : LockGuard(&lock) {}
  explicit LockGuard(RecursiveLock* lock) : lock_(lock) {
    if (lock_ != nullptr) lock_->Lock();
  }
  ~LockGuard() {
    if (lock_ != nullptr) lock_->Unlock();
  }
  LockGuard(const LockGuard&) = delete;
  LockGuard& operator=(const LockGuard&) = delete;

 private:
  RecursiveLock* lock_;
};

}  // namespace orvo::platform

#endif  // ORVO_PLATFORM_RECURSIVE_LOCK_H_
