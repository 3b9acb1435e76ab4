// The dual interfaces that OrvoComm.dll publishes. Their method order
// matches resources/OrvoComm.idl and never changes: clients call by slot.
#ifndef ORVO_SERVER_INTERFACES_H_
#define ORVO_SERVER_INTERFACES_H_

#include <oaidl.h>
#include <windows.h>

#include "server/guids.h"
#include "server/interface_id.h"

namespace orvo::server {

// Dispatch identifiers 1 to 4, in method order.
struct IICommonInterface : public IDispatch {
  virtual HRESULT STDMETHODCALLTYPE CheckTamsiverInstalled(long* bVal) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetTamsiverInformation(BSTR* nsVersion, BSTR* nsInstallDir,
                                                           BSTR* nsIconPath,
                                                           BSTR* nsMainProgramPath) = 0;
  virtual HRESULT STDMETHODCALLTYPE NotifyApplicationInstalled(BSTR nsCallName, BSTR nsName,
                                                               BSTR nsVersion, BSTR nsInstallDir,
                                                               BSTR nsMainProgramPath, BSTR nsParam,
                                                               BSTR nsMainIconPath, BSTR nsDesc,
                                                               int* npErrorCode) = 0;
  virtual HRESULT STDMETHODCALLTYPE NotifyWidgetInstalled(
      BSTR nsCallName, BSTR nsName, BSTR nsVersion, BSTR nsInstallDir, BSTR nsMainProgramPath,
      BSTR nsMainIconPath, BSTR nsDesc, int niWidth, int niHeight, int* npErrorCode) = 0;
};

// IICommonInterface and, at dispatch identifiers 5 to 7, the operations that
// bring a registration up to date and remove it. The same method table
// serves both: slots 7 to 10 are IICommonInterface's.
struct IICommonInterface2 : public IICommonInterface {
  virtual HRESULT STDMETHODCALLTYPE NotifyApplicationUpdated(BSTR nsCallName, BSTR nsName,
                                                             BSTR nsVersion, BSTR nsInstallDir,
                                                             BSTR nsMainProgramPath, BSTR nsParam,
                                                             BSTR nsMainIconPath, BSTR nsDesc,
                                                             int* npErrorCode) = 0;
  virtual HRESULT STDMETHODCALLTYPE NotifyApplicationUninstalled(BSTR nsMainProgramPath,
                                                                 int* npErrorCode) = 0;
  virtual HRESULT STDMETHODCALLTYPE NotifyWidgetUninstalled(BSTR nsName, int* npErrorCode) = 0;
};

// No methods beyond IDispatch.
struct ITamsiverCommonInterface : public IDispatch {};

template <>
struct InterfaceId<IICommonInterface> {
  static constexpr const IID& value = IID_IICommonInterface;
};
template <>
struct InterfaceId<IICommonInterface2> {
  static constexpr const IID& value = IID_IICommonInterface2;
};
template <>
struct InterfaceId<ITamsiverCommonInterface> {
  static constexpr const IID& value = IID_ITamsiverCommonInterface;
};

}  // namespace orvo::server

#endif  // ORVO_SERVER_INTERFACES_H_
