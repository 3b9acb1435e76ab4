#include "tools/broadcast_listener/listener_window.h"

namespace orvo::listener {

namespace {

constexpr wchar_t kClassName[] = L"OrvoBroadcastListener";

ATOM RegisterListenerClass(WNDPROC procedure) {
  WNDCLASSEXW window_class = {};
  window_class.cbSize = sizeof(window_class);
  window_class.lpfnWndProc = procedure;
  window_class.hInstance = GetModuleHandleW(nullptr);
  window_class.lpszClassName = kClassName;
  return RegisterClassExW(&window_class);
}

}  // namespace

ListenerWindow::ListenerWindow(const wchar_t* message_name, std::FILE* out) : out_(out) {
  message_ = RegisterWindowMessageW(message_name);
  if (message_ == 0 || RegisterListenerClass(&WindowProc) == 0) return;
  // Not shown, but unowned and top-level: broadcasts reach it all the same.
  window_ = CreateWindowExW(0, kClassName, L"Orvo broadcast listener", WS_OVERLAPPEDWINDOW,
                            CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, nullptr,
                            nullptr, GetModuleHandleW(nullptr), this);
}

ListenerWindow::~ListenerWindow() {
  if (window_ != nullptr) DestroyWindow(window_);
}

int ListenerWindow::PumpUntil(int count, DWORD timeout_ms) {
  const ULONGLONG deadline = GetTickCount64() + timeout_ms;
  while (received_ < count) {
    MSG msg;
    while (received_ < count && PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&msg);
      DispatchMessageW(&msg);
    }
    const ULONGLONG now = GetTickCount64();
    if (received_ >= count || now >= deadline) break;
    MsgWaitForMultipleObjects(0, nullptr, FALSE, static_cast<DWORD>(deadline - now), QS_ALLINPUT);
  }
  return received_;
}

LRESULT CALLBACK ListenerWindow::WindowProc(HWND window, UINT msg, WPARAM wparam, LPARAM lparam) {
  if (msg == WM_NCCREATE) {
    const auto* create = reinterpret_cast<const CREATESTRUCTW*>(lparam);
    SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
  }
  auto* self = reinterpret_cast<ListenerWindow*>(GetWindowLongPtrW(window, GWLP_USERDATA));
  if (self != nullptr && self->message_ != 0 && msg == self->message_) {
    ++self->received_;
    std::fprintf(self->out_, "received broadcast 0x%04X wParam=%lu lParam=%ld\n", msg,
                 static_cast<unsigned long>(wparam), static_cast<long>(lparam));
    std::fflush(self->out_);
    return 0;
  }
  return DefWindowProcW(window, msg, wparam, lparam);
}

}  // namespace orvo::listener
