// Holds one reference on a store object (file or key) and releases it at the
// end of the scope.
#ifndef ORVO_STORE_REF_H_
#define ORVO_STORE_REF_H_

template <class T>
class CfRef {
 public:
  CfRef() = default;
  // Takes over the reference that |p| carries.
  explicit CfRef(T* p) : p_(p) {}
  ~CfRef() { reset(); }
  CfRef(const CfRef&) = delete;
  CfRef& operator=(const CfRef&) = delete;
  CfRef(CfRef&& other) noexcept : p_(other.p_) { other.p_ = nullptr; }
  CfRef& operator=(CfRef&& other) noexcept {
    if (this != &other) {
      reset(other.p_);
      other.p_ = nullptr;
    }
    return *this;
  }

  // Releases the held reference and takes over |p|'s.
  void reset(T* p = nullptr) {
    T* old = p_;
    p_ = p;
    if (old != nullptr) old->Release();
  }
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
