// The one owner of the module's resources: a value closed by a given function
// at the end of its owner's life, with a policy that says which value is
// "none" (null for most, INVALID_HANDLE_VALUE for files).
#ifndef ORVO_PLATFORM_UNIQUE_H_
#define ORVO_PLATFORM_UNIQUE_H_

#include <utility>

namespace orvo::platform {

// The default policy: T() is none.
template <typename T>
struct NullIsNone {
  static constexpr T None() { return T(); }
};

// Owns one value of type T, closed with |Close| unless it is Policy::None().
// Invariant: value_ is none or a value that this owner alone closes.
template <typename T, auto Close, typename Policy = NullIsNone<T>>
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

  static T none() { return Policy::None(); }
  T get() const { return value_; }
  explicit operator bool() const { return value_ != none(); }
  // Gives the value up to the caller, who closes it.
  T release() { return std::exchange(value_, none()); }
  // Closes the current value and takes over |value|.
  void reset(T value = none()) {
    const T old = std::exchange(value_, value);
    if (old != none()) Close(old);
  }
  // For out parameters: closes the current value and gives its slot.
  T* put() {
    reset();
    return &value_;
  }

 private:
  T value_ = none();
};

}  // namespace orvo::platform

#endif  // ORVO_PLATFORM_UNIQUE_H_
