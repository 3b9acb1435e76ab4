#include "server/common_interface.h"

#include <cstdint>
#include <type_traits>

#include "install/operations.h"
#include "server/hresult.h"

namespace orvo::server {

namespace {

static_assert(sizeof(OLECHAR) == sizeof(char16_t), "automation strings are UTF-16");
static_assert(std::is_same_v<int, int32_t>, "int* out parameters are passed on as int32_t*");

// An automation string as the operations take it; null stays null.
const char16_t* Text(BSTR s) { return reinterpret_cast<const char16_t*>(s); }

// Runs a notify operation; should it throw, its failure is also mirrored in
// the error code, as the operation itself does for its own results.
template <typename Body>
HRESULT Notify(int* error_code, Body&& body) noexcept {
  bool threw = true;
  const HRESULT hr = CallNoThrow([&] {
    const HRESULT result = body();
    threw = false;
    return result;
  });
  if (threw && error_code != nullptr) *error_code = hr;
  return hr;
}

}  // namespace

HRESULT CICommonInterface::CheckTamsiverInstalled(long* bVal) {
  return CallNoThrow([&] {
    if (bVal == nullptr) return install::CheckTamsiverInstalled(nullptr);
    int32_t installed = static_cast<int32_t>(*bVal);
    const HRESULT hr = install::CheckTamsiverInstalled(&installed);
    *bVal = installed;
    return hr;
  });
}

HRESULT CICommonInterface::GetTamsiverInformation(BSTR* nsVersion, BSTR* nsInstallDir,
                                                  BSTR* nsIconPath, BSTR* nsMainProgramPath) {
  return CallNoThrow([&] {
    return static_cast<HRESULT>(
        install::GetTamsiverInformation(nsVersion, nsInstallDir, nsIconPath, nsMainProgramPath));
  });
}

HRESULT CICommonInterface::NotifyApplicationInstalled(BSTR nsCallName, BSTR nsName, BSTR nsVersion,
                                                      BSTR nsInstallDir, BSTR nsMainProgramPath,
                                                      BSTR nsParam, BSTR nsMainIconPath,
                                                      BSTR nsDesc, int* npErrorCode) {
  return Notify(npErrorCode, [&] {
    return install::NotifyApplicationInstalled(
        Text(nsCallName), Text(nsName), Text(nsVersion), Text(nsInstallDir),
        Text(nsMainProgramPath), Text(nsParam), Text(nsMainIconPath), Text(nsDesc), npErrorCode);
  });
}

HRESULT CICommonInterface::NotifyWidgetInstalled(BSTR nsCallName, BSTR nsName, BSTR nsVersion,
                                                 BSTR nsInstallDir, BSTR nsMainProgramPath,
                                                 BSTR nsMainIconPath, BSTR nsDesc, int niWidth,
                                                 int niHeight, int* npErrorCode) {
  return Notify(npErrorCode, [&] {
    return install::NotifyWidgetInstalled(Text(nsCallName), Text(nsName), Text(nsVersion),
                                          Text(nsInstallDir), Text(nsMainProgramPath),
                                          Text(nsMainIconPath), Text(nsDesc), niWidth, niHeight,
                                          npErrorCode);
  });
}

HRESULT CICommonInterface::NotifyApplicationUpdated(BSTR nsCallName, BSTR nsName, BSTR nsVersion,
                                                    BSTR nsInstallDir, BSTR nsMainProgramPath,
                                                    BSTR nsParam, BSTR nsMainIconPath, BSTR nsDesc,
                                                    int* npErrorCode) {
  return Notify(npErrorCode, [&] {
    return install::NotifyApplicationUpdated(
        Text(nsCallName), Text(nsName), Text(nsVersion), Text(nsInstallDir),
        Text(nsMainProgramPath), Text(nsParam), Text(nsMainIconPath), Text(nsDesc), npErrorCode);
  });
}

HRESULT CICommonInterface::NotifyApplicationUninstalled(BSTR nsMainProgramPath, int* npErrorCode) {
  return Notify(npErrorCode, [&] {
    return static_cast<HRESULT>(
        install::NotifyApplicationUninstalled(Text(nsMainProgramPath), npErrorCode));
  });
}

HRESULT CICommonInterface::NotifyWidgetUninstalled(BSTR nsName, int* npErrorCode) {
  return Notify(npErrorCode,
                [&] { return install::NotifyWidgetUninstalled(Text(nsName), npErrorCode); });
}

}  // namespace orvo::server
