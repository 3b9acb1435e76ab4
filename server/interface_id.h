// The interface identifier of a COM interface type, at compile time.
#ifndef ORVO_SERVER_INTERFACE_ID_H_
#define ORVO_SERVER_INTERFACE_ID_H_

#include <unknwn.h>
#include <windows.h>

namespace orvo::server {

// The platform's interfaces carry their identifier (__uuidof); the module's
// own interfaces specialise this next to their declaration.
template <typename Interface>
struct InterfaceId {
  static constexpr const IID& value = __uuidof(Interface);
};

}  // namespace orvo::server

#endif  // ORVO_SERVER_INTERFACE_ID_H_
