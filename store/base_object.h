// The reference-counted base of the store's objects.
//
// IBaseObject, IConfigFile and ICfKey are binary interfaces: file and key
// objects cross module boundaries (a file object may come from a library
// built with the platform's own compiler), so their layout must match that
// compiler's:
//   - operations are virtual functions in declaration order, one slot each;
//   - member functions use __thiscall on 32-bit Windows (CF_CALL makes it
//     explicit; it is also mingw's default there);
//   - bool is one byte;
//   - the destructor is ONE slot, the last of each interface, taking a flags
//     argument (bit 0: free the storage). It is declared as an ordinary
//     virtual function, because a C++ virtual destructor takes two slots in
//     GCC's layout. The interfaces themselves have no virtual destructor.
#ifndef ORVO_STORE_BASE_OBJECT_H_
#define ORVO_STORE_BASE_OBJECT_H_

#ifdef _WIN32
// <windows.h> defines GetClassName as a macro for GetClassNameW, which would
// rename the operation below in some files and not in others. Include it
// once here and drop the macro; Win32 code that wants the window function
// calls GetClassNameW by its full name.
#include <windows.h>
#undef GetClassName
#endif

#include <atomic>
#include <cstdint>
#include <new>

#include "store/node.h"

#if defined(_WIN32) && defined(__i386__)
#define CF_CALL __attribute__((__thiscall__))
#else
#define CF_CALL
#endif

static_assert(sizeof(bool) == 1, "booleans of the store interfaces are one byte");
static_assert(sizeof(CfChar) == 2, "store text is UTF-16");
static_assert(sizeof(float) == 4, "GetFloat returns an IEEE-754 single");

// Class-name constants. IsClassName compares addresses, not text: each is an
// object of its own, never merged with an equal string literal.
inline constexpr CfChar glszBNCConfigFile[] = u"CConfigFile";
inline constexpr CfChar glszBNCCfKeyInterface[] = u"CCfKeyInterface";

// Object flags bit 0: the store allocated the object and destroys it when the
// count reaches 0 (for a key object: pools or destroys it).
constexpr uint32_t kCfObjectOwned = 0x1;
// Flags argument of the deleting destructor: free the storage too.
constexpr uint32_t kCfDeleteStorage = 0x1;

class IBaseObject {
 public:
  // Adds one reference for the caller. Returns the new count (a key: the
  // count before the increment).
  virtual int32_t CF_CALL AddRef() = 0;
  // Gives up one of the caller's references; the caller must not use the
  // object after giving up its last. At 0 an object the store made is
  // finished (a file object: freed with its tree, unsaved; a key: pooled or
  // freed, its node untouched). Returns the new count.
  virtual int32_t CF_CALL Release() = 0;
  // The class-name constant (glszBNCConfigFile, glszBNCCfKeyInterface);
  // never null, owned by the module.
  virtual const CfChar* CF_CALL GetClassName() = 0;
  // 1 when |name| is this class's name constant itself, else 0.
  virtual int32_t CF_CALL IsClassName(const CfChar* name) = 0;

 protected:
  ~IBaseObject() = default;
};

// Implements IBaseObject for class T behind interface I. T derives from this
// template and is destroyed through I's last slot, DeletingDestructor, which
// the template also implements.
//
// AddRef and Release change the count atomically; key objects, whose counts
// live under their file's lock, override both.
template <class T, class I, const CfChar* kClassName>
class cmmBaseObject : public I {
 public:
  int32_t CF_CALL AddRef() override { return ++ref_count_; }

  int32_t CF_CALL Release() override {
    const int32_t n = --ref_count_;
    if (n == 0 && (object_flags_ & kCfObjectOwned) != 0) this->DeletingDestructor(kCfDeleteStorage);
    return n;
  }

  const CfChar* CF_CALL GetClassName() override { return kClassName; }

  int32_t CF_CALL IsClassName(const CfChar* name) override { return name == kClassName ? 1 : 0; }

  // Runs T's destructor; with kCfDeleteStorage also frees the storage, which
  // must come from (nothrow) new. Returns this, as the platform compiler's
  // deleting destructors do.
  void* CF_CALL DeletingDestructor(uint32_t flags) override {
    T* self = static_cast<T*>(this);
    if ((flags & kCfDeleteStorage) != 0) {
      delete self;
    } else {
      self->~T();
    }
    return self;
  }

 protected:
  cmmBaseObject() = default;
  ~cmmBaseObject() = default;
  cmmBaseObject(const cmmBaseObject&) = delete;
  cmmBaseObject& operator=(const cmmBaseObject&) = delete;

  std::atomic<int32_t> ref_count_{1};
  uint32_t object_flags_ = 0;
};

#endif  // ORVO_STORE_BASE_OBJECT_H_
