// The class table: one row per class that the module serves, with its class
// object made on the first request and cached until the module ends.
#ifndef ORVO_SERVER_CLASS_TABLE_H_
#define ORVO_SERVER_CLASS_TABLE_H_

#include <unknwn.h>
#include <windows.h>

#include <atomic>

#include "platform/recursive_lock.h"
#include "server/class_factory.h"

namespace orvo::server {

struct ClassRow {
  const CLSID& clsid;
  // Number of the "REGISTRY" resource that registers the class.
  UINT registry_script;
  HRESULT (*create_class_object)(InstanceCreator creator, REFIID iid, void** out);
  InstanceCreator create_instance;
  // Null until the first request; the table owns one reference.
  std::atomic<IUnknown*> class_object;
};

class ClassTable {
 public:
  ClassTable();
  ClassTable(const ClassTable&) = delete;
  ClassTable& operator=(const ClassTable&) = delete;
  // Releases the cached class objects.
  ~ClassTable();

  // The class object of |clsid| queried for |iid|. The first request of a
  // row makes its class object under the table's lock. A null *out and
  // CLASS_E_CLASSNOTAVAILABLE for a class the module does not serve.
  HRESULT GetClassObject(REFCLSID clsid, REFIID iid, void** out);

  // The rows in table order.
  const ClassRow* begin() const { return rows_; }
  const ClassRow* end() const { return rows_ + kRowCount; }

 private:
  static constexpr int kRowCount = 2;

  platform::RecursiveLock lock_;
  ClassRow rows_[kRowCount];
};

ClassTable& Classes();

}  // namespace orvo::server

#endif  // ORVO_SERVER_CLASS_TABLE_H_
