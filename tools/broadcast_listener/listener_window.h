// A hidden top-level window that receives one registered window message.
// Only top-level windows get what is posted to HWND_BROADCAST, so this is
// not a message-only window.
#ifndef ORVO_TOOLS_BROADCAST_LISTENER_LISTENER_WINDOW_H_
#define ORVO_TOOLS_BROADCAST_LISTENER_LISTENER_WINDOW_H_

#include <windows.h>

#include <cstdio>

namespace orvo::listener {

class ListenerWindow {
 public:
  // Registers |message_name| and creates the window on the calling thread,
  // which must then pump its messages (PumpUntil). Check ok(). Each message
  // that arrives is printed to |out| as one line and flushed at once.
  ListenerWindow(const wchar_t* message_name, std::FILE* out);
  ~ListenerWindow();
  ListenerWindow(const ListenerWindow&) = delete;
  ListenerWindow& operator=(const ListenerWindow&) = delete;

  bool ok() const { return window_ != nullptr && message_ != 0; }
  UINT message() const { return message_; }
  int received() const { return received_; }

  // Dispatches this thread's messages until received() reaches |count| or
  // |timeout_ms| have passed. Returns received().
  int PumpUntil(int count, DWORD timeout_ms);

 private:
  static LRESULT CALLBACK WindowProc(HWND window, UINT msg, WPARAM wparam, LPARAM lparam);

  std::FILE* out_;
  UINT message_ = 0;
  int received_ = 0;
  HWND window_ = nullptr;
};

}  // namespace orvo::listener

#endif  // ORVO_TOOLS_BROADCAST_LISTENER_LISTENER_WINDOW_H_
