// A growable stack for iterative tree walks. It takes memory with malloc and
// reports exhaustion instead of throwing, so walks over trees of any depth
// neither recurse nor end the program when memory runs out.
#ifndef ORVO_STORE_FRAME_STACK_H_
#define ORVO_STORE_FRAME_STACK_H_

#include <cstddef>
#include <cstdlib>
#include <type_traits>

template <typename T>
class FrameStack {
  static_assert(std::is_trivially_copyable<T>::value, "frames are moved with realloc");

 public:
  FrameStack() = default;
  ~FrameStack() { std::free(items_); }
  FrameStack(const FrameStack&) = delete;
  FrameStack& operator=(const FrameStack&) = delete;

  // False when memory runs out (the stack is unchanged).
  bool Push(const T& item) {
    if (size_ == capacity_) {
      const size_t capacity = capacity_ == 0 ? 64 : capacity_ * 2;
      if (capacity > SIZE_MAX / sizeof(T)) return false;
      void* p = std::realloc(items_, capacity * sizeof(T));
      if (p == nullptr) return false;
      items_ = static_cast<T*>(p);
      capacity_ = capacity;
    }
    items_[size_++] = item;
    return true;
  }
  // REQUIRES: !Empty(). The reference is valid until the next Push.
  T& Top() { return items_[size_ - 1]; }
  void Pop() { --size_; }
  bool Empty() const { return size_ == 0; }
  size_t Size() const { return size_; }

 private:
  T* items_ = nullptr;
  size_t size_ = 0;
  size_t capacity_ = 0;
};

#endif  // ORVO_STORE_FRAME_STACK_H_
