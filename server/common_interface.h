// CICommonInterface, the class ICommonInterface: the operations of the
// install registration service behind the dual interfaces IICommonInterface
// and IICommonInterface2 (one method table).
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
// from PlainObject or ContainedObject (com_object.h). IDispatch is served
// from IICommonInterface2's type information, so that callers by name find
// all seven methods.
class CICommonInterface : public DispatchImpl<IICommonInterface2> {
 public:
  using Interfaces = InterfaceList<Entry<IICommonInterface, IICommonInterface2>,
                                   Entry<IICommonInterface2>, Entry<IDispatch, IICommonInterface2>>;

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
  HRESULT STDMETHODCALLTYPE NotifyApplicationUpdated(BSTR nsCallName, BSTR nsName, BSTR nsVersion,
                                                     BSTR nsInstallDir, BSTR nsMainProgramPath,
                                                     BSTR nsParam, BSTR nsMainIconPath, BSTR nsDesc,
                                                     int* npErrorCode) override;
  HRESULT STDMETHODCALLTYPE NotifyApplicationUninstalled(BSTR nsMainProgramPath,
                                                         int* npErrorCode) override;
  HRESULT STDMETHODCALLTYPE NotifyWidgetUninstalled(BSTR nsName, int* npErrorCode) override;
};

}  // namespace orvo::server

#endif  // ORVO_SERVER_COMMON_INTERFACE_H_
