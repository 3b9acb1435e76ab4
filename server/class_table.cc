#include "server/class_table.h"

#include "resources/resource.h"
#include "server/com_object.h"
#include "server/common_interface.h"
#include "server/guids.h"
#include "server/module.h"
#include "server/tamsiver_common_interface.h"

namespace orvo::server {

namespace {

ClassTable g_classes;

}  // namespace

ClassTable::ClassTable()
    : rows_{
          {CLSID_ICommonInterface, IDR_ICOMMONINTERFACE, &CClassFactory::Create,
           &CreateInstance<CICommonInterface>, nullptr},
          {CLSID_TamsiverCommonInterface, IDR_TAMSIVERCOMMONINTERFACE, &CClassFactory::Create,
           &CreateInstance<CTamsiverCommonInterface>, nullptr},
      } {
  if (!lock_.usable()) SetModuleInitFailed();
}

ClassTable::~ClassTable() {
  for (ClassRow& row : rows_) {
    if (IUnknown* object = row.class_object.exchange(nullptr)) object->Release();
  }
}

HRESULT ClassTable::GetClassObject(REFCLSID clsid, REFIID iid, void** out) {
  if (out == nullptr) return E_POINTER;
  *out = nullptr;
  for (ClassRow& row : rows_) {
    if (!IsEqualCLSID(row.clsid, clsid)) continue;
    IUnknown* object = row.class_object.load(std::memory_order_acquire);
    if (object == nullptr) {
      platform::LockGuard lock(lock_);
      object = row.class_object.load(std::memory_order_relaxed);
      if (object == nullptr) {
        const HRESULT hr = row.create_class_object(row.create_instance, IID_IUnknown,
                                                   reinterpret_cast<void**>(&object));
        if (FAILED(hr)) return hr;
        row.class_object.store(object, std::memory_order_release);
      }
    }
    return object->QueryInterface(iid, out);
  }
  return CLASS_E_CLASSNOTAVAILABLE;
}

ClassTable& Classes() { return g_classes; }

}  // namespace orvo::server
