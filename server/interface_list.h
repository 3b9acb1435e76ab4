// Compile-time lists of the interfaces an object serves, and the
// QueryInterface that walks them.
//
//   using Interfaces = InterfaceList<Entry<IMine>, Entry<IDispatch, IMine>>;
//
// Entry<I, Via> answers a query for I with the object seen as Via (a base of
// the object that derives from I); Via defaults to I. Entries are searched in
// order and the first one also answers IUnknown.
#ifndef ORVO_SERVER_INTERFACE_LIST_H_
#define ORVO_SERVER_INTERFACE_LIST_H_

#include <unknwn.h>
#include <windows.h>

#include "server/interface_id.h"

namespace orvo::server {

template <typename Interface, typename Via = Interface>
struct Entry {};

template <typename... Entries>
struct InterfaceList;

template <typename... Interfaces, typename... Vias>
struct InterfaceList<Entry<Interfaces, Vias>...> {
  static_assert(sizeof...(Interfaces) > 0, "an object serves at least one interface");

  // The interface of |object| for |iid| without a new reference, or null
  // when the list has no entry for it.
  template <typename Object>
  static IUnknown* Find(Object* object, REFIID iid) {
    IUnknown* found = nullptr;
    const bool unknown = IsEqualIID(iid, IID_IUnknown);
    // Visits the entries in order; the first match wins.
    (void)((Match<Interfaces, Vias>(object, iid, unknown, &found)) || ...);
    return found;
  }

 private:
  template <typename Interface, typename Via, typename Object>
  static bool Match(Object* object, REFIID iid, bool unknown, IUnknown** found) {
    if (!unknown && !IsEqualIID(iid, InterfaceId<Interface>::value)) return false;
    *found = static_cast<Interface*>(static_cast<Via*>(object));
    return true;
  }
};

// QueryInterface over |List| for |object|: E_POINTER for a null |out|,
// E_NOINTERFACE (and a null *out) for an interface not in the list;
// otherwise the interface with one added reference.
template <typename List, typename Object>
HRESULT QueryInterfaceFromList(Object* object, REFIID iid, void** out) {
  if (out == nullptr) return E_POINTER;
  IUnknown* found = List::Find(object, iid);
  *out = found;
  if (found == nullptr) return E_NOINTERFACE;
  found->AddRef();
  return S_OK;
}

}  // namespace orvo::server

#endif  // ORVO_SERVER_INTERFACE_LIST_H_
