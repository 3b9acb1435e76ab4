// The machine-wide lock between two holders. Natively each lock has its own
// descriptor, so two in one process exclude each other like two processes; on
// Windows the second holder runs on a thread of its own, since a mutex is
// re-entrant for the thread that owns it.
#include "platform/machine_lock.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/file_failure.h"

#ifdef _WIN32
#include <aclapi.h>
#include <objbase.h>
#include <windows.h>
#else
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "tests/testing/temp_dir.h"
#endif

namespace {

using orvo::platform::FileFailure;
using orvo::platform::MachineLock;

#ifdef _WIN32

constexpr char16_t kName[] = u"Global\\orvo-machine-lock-test";

// Takes the lock on a thread of its own and reports what it got.
struct SecondHolder {
  uint32_t timeout_ms;
  bool apartment = false;  // in a single-threaded apartment, with a window
  bool held = false;
  bool timed_out = false;
  volatile bool waiting = false;
  bool handled_while_waiting = false;  // a message sent from another thread
  HWND window = nullptr;

  static LRESULT CALLBACK Proc(HWND w, UINT m, WPARAM wp, LPARAM lp) {
    if (m == WM_APP) {
      auto* self = reinterpret_cast<SecondHolder*>(GetWindowLongPtrW(w, GWLP_USERDATA));
      if (self->waiting) self->handled_while_waiting = true;
      return 0;
    }
    return DefWindowProcW(w, m, wp, lp);
  }

  // Sends a message to the holder's window while it waits: the send returns
  // only once the holder's thread has handled it.
  static DWORD WINAPI Send(void* p) {
    auto* self = static_cast<SecondHolder*>(p);
    Sleep(50);
    DWORD_PTR r = 0;
    SendMessageTimeoutW(self->window, WM_APP, 0, 0, SMTO_NORMAL, 5000, &r);
    return 0;
  }

  static DWORD WINAPI Run(void* p) {
    auto* self = static_cast<SecondHolder*>(p);
    HANDLE sender = nullptr;
    if (self->apartment) {
      CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
      WNDCLASSW wc = {};
      wc.lpfnWndProc = &Proc;
      wc.hInstance = GetModuleHandleW(nullptr);
      wc.lpszClassName = L"OrvoLockTestWindow";
      RegisterClassW(&wc);
      self->window = CreateWindowExW(0, wc.lpszClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                     wc.hInstance, nullptr);
      SetWindowLongPtrW(self->window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
      sender = CreateThread(nullptr, 0, &Send, self, 0, nullptr);
    }
    {
      self->waiting = true;
      MachineLock lock(kName, nullptr, self->timeout_ms);
      self->waiting = false;
      self->held = lock.held();
      self->timed_out = lock.timed_out();
    }
    if (sender != nullptr) {
      // Handle the message now if the wait did not.
      while (WaitForSingleObject(sender, 10) == WAIT_TIMEOUT) {
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
      }
      CloseHandle(sender);
    }
    if (self->window != nullptr) DestroyWindow(self->window);
    if (self->apartment) CoUninitialize();
    return 0;
  }

  void RunAndWait() {
    HANDLE t = CreateThread(nullptr, 0, &Run, this, 0, nullptr);
    ASSERT_NE(t, nullptr);
    WaitForSingleObject(t, INFINITE);
    CloseHandle(t);
  }
};

TEST(MachineLockTest, SecondHolderWaitsThenTimesOut) {
  {
    MachineLock first(kName, nullptr, 0);
    ASSERT_TRUE(first.held());
    SecondHolder second{50};
    const DWORD start = GetTickCount();
    second.RunAndWait();
    EXPECT_GE(GetTickCount() - start, 40u);  // it waited (tick granularity aside)
    EXPECT_FALSE(second.held);
    EXPECT_TRUE(second.timed_out);
  }
  SecondHolder again{0};
  again.RunAndWait();
  EXPECT_TRUE(again.held);
  EXPECT_FALSE(again.timed_out);
}

TEST(MachineLockTest, WaitInAnApartmentHandlesMessages) {
  MachineLock first(kName, nullptr, 0);
  ASSERT_TRUE(first.held());
  SecondHolder second{1000};
  second.apartment = true;
  second.RunAndWait();
  EXPECT_TRUE(second.timed_out);
  EXPECT_TRUE(second.handled_while_waiting);
}

// Every account may wait on the mutex and release it, and nothing more.
TEST(MachineLockTest, DescriptorLetsEveryAccountWaitAndRelease) {
  MachineLock lock(kName, nullptr, 0);
  ASSERT_TRUE(lock.held());
  HANDLE h = OpenMutexW(READ_CONTROL, FALSE, reinterpret_cast<const wchar_t*>(kName));
  ASSERT_NE(h, nullptr);
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR sd = nullptr;
  ASSERT_EQ(GetSecurityInfo(h, SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl,
                            nullptr, &sd),
            static_cast<DWORD>(ERROR_SUCCESS));
  CloseHandle(h);
  ASSERT_NE(dacl, nullptr);
  BYTE everyone_sid[SECURITY_MAX_SID_SIZE];
  DWORD sid_size = sizeof(everyone_sid);
  ASSERT_TRUE(CreateWellKnownSid(WinWorldSid, nullptr, everyone_sid, &sid_size));
  ACCESS_MASK everyone = 0;
  for (DWORD i = 0; i < dacl->AceCount; ++i) {
    void* ace = nullptr;
    ASSERT_TRUE(GetAce(dacl, i, &ace));
    auto* header = static_cast<ACE_HEADER*>(ace);
    if (header->AceType != ACCESS_ALLOWED_ACE_TYPE) continue;
    auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(ace);
    if (EqualSid(&allowed->SidStart, everyone_sid)) everyone |= allowed->Mask;
  }
  LocalFree(sd);
  EXPECT_EQ(everyone, static_cast<ACCESS_MASK>(SYNCHRONIZE | MUTEX_MODIFY_STATE));
}

#else

TEST(MachineLockTest, SecondHolderWaitsThenTimesOut) {
  orvo::testing::TempDir dir;
  ASSERT_TRUE(dir.ok());
  const std::u16string path = dir.Path(u"x.lock");
  {
    MachineLock first(u"", path.c_str(), 0);
    ASSERT_TRUE(first.held());
    MachineLock second(u"", path.c_str(), 50);
    EXPECT_FALSE(second.held());
    EXPECT_TRUE(second.timed_out());
  }
  MachineLock again(u"", path.c_str(), 0);
  EXPECT_TRUE(again.held());
  EXPECT_FALSE(again.timed_out());
}

TEST(MachineLockTest, UnusablePathIsNotALock) {
  orvo::testing::TempDir dir;
  ASSERT_TRUE(dir.ok());
  const std::string target = dir.NativePath(u"target").string();
  const std::u16string link = dir.Path(u"link.lock");
  ASSERT_EQ(symlink(target.c_str(), dir.NativePath(u"link.lock").c_str()), 0);
  const struct {
    const char16_t* path;
    FileFailure failure;
  } cases[] = {
      {u"", FileFailure::kOther},
      {u"/nonexistent-folder-for-orvo/x.lock", FileFailure::kOther},
      {link.c_str(), FileFailure::kAccessDenied},  // a planted link is not followed
  };
  for (const auto& c : cases) {
    orvo::platform::SetLastFileFailure(FileFailure::kNone);
    MachineLock none(u"", c.path, 0);
    EXPECT_FALSE(none.held());
    EXPECT_FALSE(none.timed_out());
    EXPECT_EQ(orvo::platform::LastFileFailure(), c.failure);
  }
  EXPECT_NE(access(target.c_str(), F_OK), 0);  // the link's target was not made
}

// A FIFO, a folder or a device at the lock's name: the lock is unavailable
// at once, whatever the wait allowed (the test runs in a child that is
// killed when it blocks).
TEST(MachineLockTest, NonFilesAtThePathFailAtOnce) {
  orvo::testing::TempDir dir;
  ASSERT_TRUE(dir.ok());
  ASSERT_EQ(mkfifo(dir.NativePath(u"fifo.lock").c_str(), 0666), 0);
  ASSERT_EQ(mkdir(dir.NativePath(u"folder.lock").c_str(), 0777), 0);
  const std::u16string paths[] = {dir.Path(u"fifo.lock"), dir.Path(u"folder.lock"), u"/dev/null"};
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    alarm(5);  // far below the wait allowed
    int bad = 0;
    for (const std::u16string& path : paths) {
      orvo::platform::SetLastFileFailure(FileFailure::kNone);
      MachineLock none(u"", path.c_str(), 60000);
      if (none.held() || none.timed_out() ||
          orvo::platform::LastFileFailure() != FileFailure::kAccessDenied) {
        ++bad;
      }
    }
    _exit(bad);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status)) << "the lock blocked";
  EXPECT_EQ(WEXITSTATUS(status), 0);
  struct stat st;
  ASSERT_EQ(stat(dir.NativePath(u"fifo.lock").c_str(), &st), 0);
  EXPECT_TRUE(S_ISFIFO(st.st_mode));
}

// A lock file that it makes is readable by every account, whatever the
// maker's umask, so that every account's notifications can take the lock.
TEST(MachineLockTest, MadeReadableByEveryone) {
  orvo::testing::TempDir dir;
  ASSERT_TRUE(dir.ok());
  const mode_t before = umask(077);
  {
    MachineLock lock(u"", dir.Path(u"x.lock").c_str(), 0);
    EXPECT_TRUE(lock.held());
  }
  umask(before);
  struct stat st;
  ASSERT_EQ(stat(dir.NativePath(u"x.lock").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0444u);
}

#endif

}  // namespace
