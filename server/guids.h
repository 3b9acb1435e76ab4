// The fixed identifiers of OrvoComm.dll. The same values are written in the
// interface definition (resources/OrvoComm.idl) and the registry scripts
// (resources/*.rgs); they never change once published.
#ifndef ORVO_SERVER_GUIDS_H_
#define ORVO_SERVER_GUIDS_H_

#include <windows.h>

namespace orvo::server {

// Type library OrvoCommLib 1.0.
inline constexpr GUID LIBID_OrvoCommLib = {
    0x8F9584AF, 0x1928, 0x4191, {0x91, 0xEB, 0x05, 0x77, 0xC5, 0xCD, 0xE0, 0xFE}};
inline constexpr wchar_t kLibIdString[] = L"{8F9584AF-1928-4191-91EB-0577C5CDE0FE}";
inline constexpr WORD kTypeLibMajor = 1;
inline constexpr WORD kTypeLibMinor = 0;

// Class ICommonInterface (implemented by CICommonInterface).
inline constexpr CLSID CLSID_ICommonInterface = {
    0x54E03D1C, 0x9E66, 0x409E, {0xB8, 0xFC, 0x4A, 0xB4, 0x75, 0x48, 0xE3, 0xB9}};
inline constexpr wchar_t kICommonInterfaceClsidString[] = L"{54E03D1C-9E66-409E-B8FC-4AB47548E3B9}";

// Class TamsiverCommonInterface (implemented by CTamsiverCommonInterface).
inline constexpr CLSID CLSID_TamsiverCommonInterface = {
    0xCD3E96FF, 0x112C, 0x4A1E, {0xBE, 0x81, 0x38, 0x13, 0x1E, 0x53, 0xDF, 0xD5}};
inline constexpr wchar_t kTamsiverCommonInterfaceClsidString[] =
    L"{CD3E96FF-112C-4A1E-BE81-38131E53DFD5}";

// Dual interfaces.
inline constexpr IID IID_IICommonInterface = {
    0xA911DD96, 0x7FF5, 0x49E7, {0xAC, 0xBF, 0x6F, 0xA6, 0x06, 0xD6, 0x3D, 0x77}};
inline constexpr IID IID_ITamsiverCommonInterface = {
    0x4D731A17, 0x6FA4, 0x4A46, {0xBD, 0x80, 0x3B, 0xBF, 0x9A, 0x0C, 0x75, 0x49}};
// The second version of IICommonInterface: its methods, then three more.
inline constexpr IID IID_IICommonInterface2 = {
    0x3C0F6E52, 0x81D4, 0x4B7A, {0x9E, 0x15, 0x6D, 0x2A, 0xC4, 0x87, 0x0B, 0x93}};

// The class ICommonInterface's ProgIDs, for scripts that create it by name.
inline constexpr wchar_t kProgId[] = L"Tamsiver.CommonInterface.1";
inline constexpr wchar_t kVersionIndependentProgId[] = L"Tamsiver.CommonInterface";

// The module's AppID, handed to every registry script as the replacement
// APPID. No script refers to it, so it is written nowhere in the registry.
inline constexpr wchar_t kAppIdString[] = L"{A5CD32F0-8211-4EF1-8C92-767BF227A6DD}";

}  // namespace orvo::server

#endif  // ORVO_SERVER_GUIDS_H_
