// Holds one reference on a store object (file or key) and releases it at the
// end of the scope.
//
// It only ever takes over references: a store call that hands out an object
// gives the caller one reference, and Adopt (or attach) makes the holder its
// owner. Nothing here adds a reference; the COM side's ComPtr(T*), which does,
// has no counterpart here, so that the two can never be mistaken.
#ifndef ORVO_STORE_REF_H_
#define ORVO_STORE_REF_H_

template <class T>
class CfRef {
 public:
  CfRef() = default;
  // The holder of the reference that |p| carries (null: an empty holder).
  static CfRef Adopt(T* p) {
    CfRef ref;
    ref.p_ = p;
    return ref;
  }
  ~CfRef() { reset(); }
  CfRef(const CfRef&) = delete;
  CfRef& operator=(const CfRef&) = delete;
  CfRef(CfRef&& other) noexcept : p_(other.p_) { other.p_ = nullptr; }
  CfRef& operator=(CfRef&& other) noexcept {
    if (this != &other) {
      attach(other.p_);
      other.p_ = nullptr;
    }
    return *this;
  }

  // Releases the held reference and takes over the one that |p| carries.
  void attach(T* p) {
    T* old = p_;
    p_ = p;
    if (old != nullptr) old->Release();
  }
  // Releases the held reference.
  void reset() { attach(nullptr); }
  // Gives the reference up to the caller.
  T* release() {
    T* p = p_;
    p_ = nullptr;
    return p;
  }
  T* get() const { return p_; }
  T* operator->() const { return p_; }
  explicit operator bool() const { return p_ != nullptr; }

 private:
  T* p_ = nullptr;
};

#endif  // ORVO_STORE_REF_H_
