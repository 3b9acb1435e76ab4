// One-line owners for automation strings and variants, and a
// reference-counting pointer for COM interfaces; the kernel's handles, keys
// and modules are owned by platform/unique_win32.h, on the same UniqueAny.
#ifndef ORVO_SERVER_UNIQUE_H_
#define ORVO_SERVER_UNIQUE_H_

#include <oleauto.h>
#include <windows.h>

#include <utility>

#include "platform/unique_win32.h"

namespace orvo::server {

using platform::UniqueAny;
using platform::UniqueFileHandle;  // for handles whose "none" is INVALID_HANDLE_VALUE
using platform::UniqueHandle;      // for handles whose "none" is null
using platform::UniqueHkey;
using platform::UniqueModule;

using UniqueBstr = UniqueAny<BSTR, &SysFreeString>;

// A VARIANT cleared when it goes out of scope.
struct UniqueVariant : VARIANT {
  UniqueVariant() { VariantInit(this); }
  ~UniqueVariant() { VariantClear(this); }
  UniqueVariant(const UniqueVariant&) = delete;
  UniqueVariant& operator=(const UniqueVariant&) = delete;
};

// Holds one reference to a COM interface.
template <typename T>
class ComPtr {
 public:
  ComPtr() = default;
  ComPtr(std::nullptr_t) {}
  // Takes a new reference to |p|.
  explicit ComPtr(T* p) : p_(p) {
    if (p_) p_->AddRef();
  }
  ComPtr(const ComPtr& other) : ComPtr(other.p_) {}
  ComPtr(ComPtr&& other) noexcept : p_(other.detach()) {}
  ComPtr& operator=(ComPtr other) noexcept {
    std::swap(p_, other.p_);
    return *this;
  }
  ~ComPtr() { reset(); }

  T* get() const { return p_; }
  T* operator->() const { return p_; }
  explicit operator bool() const { return p_ != nullptr; }
  // Gives up the reference without releasing it.
  T* detach() { return std::exchange(p_, nullptr); }
  // Takes over a reference that the caller already owns.
  void attach(T* p) {
    reset();
    p_ = p;
  }
  void reset() {
    if (T* p = std::exchange(p_, nullptr)) p->Release();
  }
  // For out parameters: releases the current reference and gives its slot.
  T** put() {
    reset();
    return &p_;
  }
  void** put_void() { return reinterpret_cast<void**>(put()); }

 private:
  T* p_ = nullptr;
};

}  // namespace orvo::server

#endif  // ORVO_SERVER_UNIQUE_H_
