// One-line owners for the platform's handles, keys, strings and variants,
// and a reference-counting pointer for COM interfaces.
#ifndef ORVO_SERVER_UNIQUE_H_
#define ORVO_SERVER_UNIQUE_H_

#include <oleauto.h>
#include <windows.h>

#include <utility>

namespace orvo::server {

// Owns one value of type T, closed with |Close| unless it is T().
template <typename T, auto Close>
class UniqueAny {
 public:
  UniqueAny() = default;
  explicit UniqueAny(T value) : value_(value) {}
  UniqueAny(UniqueAny&& other) noexcept : value_(other.release()) {}
  UniqueAny& operator=(UniqueAny&& other) noexcept {
    reset(other.release());
    return *this;
  }
  UniqueAny(const UniqueAny&) = delete;
  UniqueAny& operator=(const UniqueAny&) = delete;
  ~UniqueAny() { reset(); }

  T get() const { return value_; }
  explicit operator bool() const { return value_ != T(); }
  T release() { return std::exchange(value_, T()); }
  void reset(T value = T()) {
    if (value_ != T()) Close(value_);
    value_ = value;
  }
  // For out parameters: closes the current value and gives its slot.
  T* put() {
    reset();
    return &value_;
  }

 private:
  T value_ = T();
};

using UniqueBstr = UniqueAny<BSTR, &SysFreeString>;
using UniqueHkey = UniqueAny<HKEY, &RegCloseKey>;
using UniqueHandle = UniqueAny<HANDLE, &CloseHandle>;  // for handles whose "none" is null
using UniqueModule = UniqueAny<HMODULE, &FreeLibrary>;

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
