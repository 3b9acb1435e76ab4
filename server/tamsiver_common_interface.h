// CTamsiverCommonInterface, the class TamsiverCommonInterface: the dual
// interface ITamsiverCommonInterface with no methods of its own.
#ifndef ORVO_SERVER_TAMSIVER_COMMON_INTERFACE_H_
#define ORVO_SERVER_TAMSIVER_COMMON_INTERFACE_H_

#include <oaidl.h>
#include <windows.h>

#include "server/dispatch_impl.h"
#include "server/interface_list.h"
#include "server/interfaces.h"

namespace orvo::server {

// Holds no state. The IUnknown methods come from PlainObject or
// ContainedObject (com_object.h).
class CTamsiverCommonInterface : public DispatchImpl<ITamsiverCommonInterface> {
 public:
  using Interfaces =
      InterfaceList<Entry<ITamsiverCommonInterface>, Entry<IDispatch, ITamsiverCommonInterface>>;
};

}  // namespace orvo::server

#endif  // ORVO_SERVER_TAMSIVER_COMMON_INTERFACE_H_
