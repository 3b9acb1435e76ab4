// The objects the class objects create: a plain object, and an aggregated one
// made of an inner unknown and a contained part that forwards to the outer
// unknown. Base is an implementing class (CICommonInterface, ...) that
// declares its interface list as Base::Interfaces and leaves the IUnknown
// methods to these templates.
//
// Objects live in one apartment: their counts are plain integers. Every
// object keeps the module locked for its life.
#ifndef ORVO_SERVER_COM_OBJECT_H_
#define ORVO_SERVER_COM_OBJECT_H_

#include <unknwn.h>
#include <windows.h>

#include <new>

#include "server/interface_list.h"
#include "server/module.h"

namespace orvo::server {

template <typename Base>
class PlainObject final : public Base {
 public:
  PlainObject() { Module().Lock(); }
  PlainObject(const PlainObject&) = delete;
  PlainObject& operator=(const PlainObject&) = delete;
  ~PlainObject() { Module().Unlock(); }

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    return QueryInterfaceFromList<typename Base::Interfaces>(this, iid, out);
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++count_; }
  ULONG STDMETHODCALLTYPE Release() override {
    const ULONG count = --count_;
    if (count == 0) delete this;
    return count;
  }

 private:
  ULONG count_ = 0;
};

// The part of an aggregated object that carries the class's interfaces; its
// IUnknown methods are those of the outer unknown.
template <typename Base>
class ContainedObject final : public Base {
 public:
  explicit ContainedObject(IUnknown* outer) : outer_(outer) {}
  ContainedObject(const ContainedObject&) = delete;
  ContainedObject& operator=(const ContainedObject&) = delete;

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    return outer_->QueryInterface(iid, out);
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return outer_->AddRef(); }
  ULONG STDMETHODCALLTYPE Release() override { return outer_->Release(); }

 private:
  IUnknown* const outer_;  // not owned: the outer object owns us
};

// The inner unknown of an aggregated object. It answers IUnknown itself and
// every interface of the list with the contained part.
template <typename Base>
class AggregatedObject final : public IUnknown {
 public:
  explicit AggregatedObject(IUnknown* outer) : contained_(outer) { Module().Lock(); }
  AggregatedObject(const AggregatedObject&) = delete;
  AggregatedObject& operator=(const AggregatedObject&) = delete;
  ~AggregatedObject() { Module().Unlock(); }

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (out == nullptr) return E_POINTER;
    if (IsEqualIID(iid, IID_IUnknown)) {
      *out = static_cast<IUnknown*>(this);
      AddRef();
      return S_OK;
    }
    return QueryInterfaceFromList<typename Base::Interfaces>(&contained_, iid, out);
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++count_; }
  ULONG STDMETHODCALLTYPE Release() override {
    const ULONG count = --count_;
    if (count == 0) delete this;
    return count;
  }

 private:
  ULONG count_ = 0;
  ContainedObject<Base> contained_;
};

namespace internal {

// Queries a new object (count 0) for |iid|; the object is destroyed again
// when the query fails.
template <typename Object>
HRESULT QueryNewObject(Object* object, REFIID iid, void** out) {
  if (object == nullptr) return E_OUTOFMEMORY;
  object->AddRef();
  const HRESULT hr = object->QueryInterface(iid, out);
  object->Release();
  return hr;
}

}  // namespace internal

// The instance creator of class Base: a plain object without |outer|, an
// aggregated one with it. With an outer unknown only IID_IUnknown can be
// asked for (the inner unknown is the only thing an aggregator may hold).
template <typename Base>
HRESULT CreateInstance(IUnknown* outer, REFIID iid, void** out) {
  if (out == nullptr) return E_POINTER;
  *out = nullptr;
  if (outer == nullptr) {
    return internal::QueryNewObject(new (std::nothrow) PlainObject<Base>(), iid, out);
  }
  if (!IsEqualIID(iid, IID_IUnknown)) return CLASS_E_NOAGGREGATION;
  return internal::QueryNewObject(new (std::nothrow) AggregatedObject<Base>(outer), iid, out);
}

}  // namespace orvo::server

#endif  // ORVO_SERVER_COM_OBJECT_H_
