// The class object of one class: an IClassFactory that creates objects with
// the instance creator of its class-table row.
#ifndef ORVO_SERVER_CLASS_FACTORY_H_
#define ORVO_SERVER_CLASS_FACTORY_H_

#include <unknwn.h>
#include <windows.h>

namespace orvo::server {

// Creates an object of one class, plain (null |outer|) or aggregated.
using InstanceCreator = HRESULT (*)(IUnknown* outer, REFIID iid, void** out);

// Class objects are cached by the class table, which holds the first
// reference, and may be handed to several apartments: the count is atomic.
// The module is locked while clients hold references: at the step from one
// reference to two, and unlocked at the step back to one.
class CClassFactory final : public IClassFactory {
 public:
  // Makes a class object for |creator| (count 0) and queries it for |iid|;
  // the object is destroyed again when the query fails. Does not lock the
  // module.
  static HRESULT Create(InstanceCreator creator, REFIID iid, void** out);

  CClassFactory(const CClassFactory&) = delete;
  CClassFactory& operator=(const CClassFactory&) = delete;

  // IUnknown: answers IUnknown and IClassFactory with the same pointer.
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;

  // IClassFactory.
  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** out) override;
  HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override;

 private:
  explicit CClassFactory(InstanceCreator creator) : creator_(creator) {}
  ~CClassFactory() = default;

  volatile LONG count_ = 0;
  const InstanceCreator creator_;
};

}  // namespace orvo::server

#endif  // ORVO_SERVER_CLASS_FACTORY_H_
