// CICommonInterface, the class ICommonInterface: the four operations of the
// install registration service behind the dual interface IICommonInterface.
#ifndef ORVO_SERVER_COMMON_INTERFACE_H_
#define ORVO_SERVER_COMMON_INTERFACE_H_

#include <oaidl.h>
#include <windows.h>

#include "server/dispatch_impl.h"
#include "server/interface_list.h"
#include "server/interfaces.h"

namespace orvo::server {

// Holds no state: every call is forwarded to the operation of the same name.
// A null BSTR is an argument that is not given. The IUnknown methods come
// from PlainObject or ContainedObject (com_object.h).
class CICommonInterface : public DispatchImpl<IICommonInterface> {
 public:
  using Interfaces = InterfaceList<Entry<IICommonInterface>, Entry<IDispatch, IICommonInterface>>;

  HRESULT STDMETHODCALLTYPE CheckTamsiverInstalled(long* bVal) override;
  HRESULT STDMETHODCALLTYPE GetTamsiverInformation(BSTR* nsVersion, BSTR* nsInstallDir,
                                                   BSTR* nsIconPath,
                                                   BSTR* nsMainProgramPath) override;
  HRESULT STDMETHODCALLTYPE NotifyApplicationInstalled(BSTR nsCallName, BSTR nsName, BSTR nsVersion,
                                                       BSTR nsInstallDir, BSTR nsMainProgramPath,
                                                       BSTR nsParam, BSTR nsMainIconPath,
                                                       BSTR nsDesc, int* npErrorCode) override;
  HRESULT STDMETHODCALLTYPE NotifyWidgetInstalled(BSTR nsCallName, BSTR nsName, BSTR nsVersion,
                                                  BSTR nsInstallDir, BSTR nsMainProgramPath,
                                                  BSTR nsMainIconPath, BSTR nsDesc, int niWidth,
                                                  int niHeight, int* npErrorCode) override;
};

}  // namespace orvo::server

#endif  // ORVO_SERVER_COMMON_INTERFACE_H_
