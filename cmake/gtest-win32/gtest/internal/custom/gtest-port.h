// GoogleTest port settings for the mingw-w64 build (win32 thread model).
//
// GoogleTest looks for this customization header before its own defaults;
// cmake/testing.cmake puts this folder ahead of GoogleTest's include path in
// the Windows build only. GoogleTest's Notification helper is written with
// std::mutex and std::condition_variable, which the win32 thread model does
// not provide; this one waits on an atomic flag instead. Everything else
// (Win32 critical sections for GoogleTest's own mutex, death tests) is
// GoogleTest's standard Windows support.
#ifndef ORVO_CMAKE_GTEST_WIN32_CUSTOM_PORT_H_
#define ORVO_CMAKE_GTEST_WIN32_CUSTOM_PORT_H_

#ifdef _WIN32
#include <atomic>

// kernel32's Sleep, declared as <windows.h> does, so that test code is not
// handed all of <windows.h> through every GoogleTest header.
extern "C" __declspec(dllimport) void __stdcall Sleep(unsigned long milliseconds);

#define GTEST_HAS_NOTIFICATION_ 1

namespace testing {
namespace internal {

// Lets a controller thread hold back threads it started until it notifies.
class Notification {
 public:
  Notification() = default;
  Notification(const Notification&) = delete;
  Notification& operator=(const Notification&) = delete;

  void Notify() { notified_.store(true, std::memory_order_release); }
  void WaitForNotification() {
    while (!notified_.load(std::memory_order_acquire)) Sleep(1);
  }

 private:
  std::atomic<bool> notified_{false};
};

}  // namespace internal
}  // namespace testing
#endif  // _WIN32

#endif  // ORVO_CMAKE_GTEST_WIN32_CUSTOM_PORT_H_
