// The type library and the registry scripts that OrvoComm.dll carries as
// resources, read straight from the module file (nothing is registered).
#include <gtest/gtest.h>
#include <oaidl.h>
#include <windows.h>

#include <string>
#include <vector>

#include "server/guids.h"
#include "server/unique.h"
#include "tests/server/com/server_library.h"

namespace orvo::server {
namespace {

using testing::GuidString;
using testing::ServerPath;

// {00020430-0000-0000-C000-000000000046}, the OLE automation library.
constexpr GUID kStdOle2 = {0x00020430, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};

struct Param {
  const wchar_t* name;
  VARTYPE type;  // after any VT_PTR
  bool pointer;  // passed by pointer
  USHORT flags;  // PARAMFLAG_*
};

struct Method {
  const wchar_t* name;
  MEMBERID id;
  std::vector<Param> params;
};

constexpr USHORT kIn = PARAMFLAG_FIN;
constexpr USHORT kOut = PARAMFLAG_FOUT;
constexpr USHORT kInOut = PARAMFLAG_FIN | PARAMFLAG_FOUT;

const std::vector<Method>& CommonMethods() {
  static const std::vector<Method> methods = {
      {L"CheckTamsiverInstalled", 1, {{L"bVal", VT_I4, true, kOut}}},
      {L"GetTamsiverInformation",
       2,
       {{L"nsVersion", VT_BSTR, true, kInOut},
        {L"nsInstallDir", VT_BSTR, true, kInOut},
        {L"nsIconPath", VT_BSTR, true, kInOut},
        {L"nsMainProgramPath", VT_BSTR, true, kInOut}}},
      {L"NotifyApplicationInstalled",
       3,
       {{L"nsCallName", VT_BSTR, false, kIn},
        {L"nsName", VT_BSTR, false, kIn},
        {L"nsVersion", VT_BSTR, false, kIn},
        {L"nsInstallDir", VT_BSTR, false, kIn},
        {L"nsMainProgramPath", VT_BSTR, false, kIn},
        {L"nsParam", VT_BSTR, false, kIn},
        {L"nsMainIconPath", VT_BSTR, false, kIn},
        {L"nsDesc", VT_BSTR, false, kIn},
        {L"npErrorCode", VT_INT, true, kOut}}},
      {L"NotifyWidgetInstalled",
       4,
       {{L"nsCallName", VT_BSTR, false, kIn},
        {L"nsName", VT_BSTR, false, kIn},
        {L"nsVersion", VT_BSTR, false, kIn},
        {L"nsInstallDir", VT_BSTR, false, kIn},
        {L"nsMainProgramPath", VT_BSTR, false, kIn},
        {L"nsMainIconPath", VT_BSTR, false, kIn},
        {L"nsDesc", VT_BSTR, false, kIn},
        {L"niWidth", VT_INT, false, kIn},
        {L"niHeight", VT_INT, false, kIn},
        {L"npErrorCode", VT_INT, true, kOut}}},
  };
  return methods;
}

std::wstring NameOf(ITypeInfo* info, MEMBERID id) {
  UniqueBstr name;
  if (FAILED(info->GetDocumentation(id, name.put(), nullptr, nullptr, nullptr))) return L"?";
  return name.get() ? name.get() : L"";
}

class TypeLibraryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(LoadTypeLibEx(ServerPath().c_str(), REGKIND_NONE, library_.put()), S_OK);
  }

  ComPtr<ITypeInfo> At(UINT index) {
    ComPtr<ITypeInfo> info;
    EXPECT_EQ(library_->GetTypeInfo(index, info.put()), S_OK);
    return info;
  }

  // The vtable part of the dual interface at |index|.
  ComPtr<ITypeInfo> VtablePart(UINT index) {
    ComPtr<ITypeInfo> dispatch = At(index);
    HREFTYPE ref = 0;
    EXPECT_EQ(dispatch->GetRefTypeOfImplType(-1, &ref), S_OK);
    ComPtr<ITypeInfo> vtable;
    EXPECT_EQ(dispatch->GetRefTypeInfo(ref, vtable.put()), S_OK);
    return vtable;
  }

  ComPtr<ITypeLib> library_;
};

TEST_F(TypeLibraryTest, LibraryAttributes) {
  TLIBATTR* attr = nullptr;
  ASSERT_EQ(library_->GetLibAttr(&attr), S_OK);
  EXPECT_TRUE(IsEqualGUID(attr->guid, LIBID_OrvoCommLib)) << GuidString(attr->guid);
  EXPECT_EQ(attr->wMajorVerNum, 1);
  EXPECT_EQ(attr->wMinorVerNum, 0);
  // The library describes the module's own pointer size.
  EXPECT_EQ(attr->syskind, sizeof(void*) == 8 ? SYS_WIN64 : SYS_WIN32);
  // Neither restricted, nor a control library, nor hidden (the loader may
  // add LIBFLAG_FHASDISKIMAGE for a library read from a file).
  EXPECT_EQ(attr->wLibFlags & (LIBFLAG_FRESTRICTED | LIBFLAG_FCONTROL | LIBFLAG_FHIDDEN), 0);
  library_->ReleaseTLibAttr(attr);

  UniqueBstr name, help_string, help_file;
  DWORD help_context = 1;
  ASSERT_EQ(
      library_->GetDocumentation(-1, name.put(), help_string.put(), &help_context, help_file.put()),
      S_OK);
  EXPECT_STREQ(name.get(), L"OrvoCommLib");
  EXPECT_EQ(help_string.get(), nullptr);
  EXPECT_EQ(help_file.get(), nullptr);
  EXPECT_EQ(help_context, 0u);
}

TEST_F(TypeLibraryTest, TypeDescriptionsInOrder) {
  struct Expected {
    const wchar_t* name;
    TYPEKIND kind;
    const GUID* guid;
    WORD flags;
  };
  constexpr WORD kDualFlags = TYPEFLAG_FDUAL | TYPEFLAG_FNONEXTENSIBLE | TYPEFLAG_FDISPATCHABLE;
  const Expected expected[] = {
      {L"ICommonInterface", TKIND_COCLASS, &CLSID_ICommonInterface, TYPEFLAG_FCANCREATE},
      {L"IICommonInterface", TKIND_DISPATCH, &IID_IICommonInterface, kDualFlags},
      {L"TamsiverCommonInterface", TKIND_COCLASS, &CLSID_TamsiverCommonInterface,
       TYPEFLAG_FCANCREATE},
      {L"ITamsiverCommonInterface", TKIND_DISPATCH, &IID_ITamsiverCommonInterface, kDualFlags},
      // Added after the published four, which keep their places.
      {L"IICommonInterface2", TKIND_DISPATCH, &IID_IICommonInterface2, kDualFlags},
  };
  ASSERT_EQ(library_->GetTypeInfoCount(), 5u);
  for (UINT i = 0; i < 5; ++i) {
    SCOPED_TRACE(expected[i].name);
    ComPtr<ITypeInfo> info = At(i);
    ASSERT_TRUE(info);
    EXPECT_EQ(NameOf(info.get(), MEMBERID_NIL), expected[i].name);
    TYPEATTR* attr = nullptr;
    ASSERT_EQ(info->GetTypeAttr(&attr), S_OK);
    EXPECT_EQ(attr->typekind, expected[i].kind);
    EXPECT_TRUE(IsEqualGUID(attr->guid, *expected[i].guid)) << GuidString(attr->guid);
    EXPECT_EQ(attr->wTypeFlags, expected[i].flags);
    EXPECT_EQ(attr->wMajorVerNum, 0);
    info->ReleaseTypeAttr(attr);
  }
}

TEST_F(TypeLibraryTest, EachClassImplementsItsInterfaceAsDefault) {
  const struct {
    UINT index;
    const IID* iid;
  } classes[] = {{0, &IID_IICommonInterface}, {2, &IID_ITamsiverCommonInterface}};
  for (const auto& c : classes) {
    ComPtr<ITypeInfo> coclass = At(c.index);
    TYPEATTR* attr = nullptr;
    ASSERT_EQ(coclass->GetTypeAttr(&attr), S_OK);
    EXPECT_EQ(attr->cImplTypes, 1);
    coclass->ReleaseTypeAttr(attr);
    INT flags = 0;
    ASSERT_EQ(coclass->GetImplTypeFlags(0, &flags), S_OK);
    EXPECT_EQ(flags, IMPLTYPEFLAG_FDEFAULT);
    HREFTYPE ref = 0;
    ASSERT_EQ(coclass->GetRefTypeOfImplType(0, &ref), S_OK);
    ComPtr<ITypeInfo> implemented;
    ASSERT_EQ(coclass->GetRefTypeInfo(ref, implemented.put()), S_OK);
    ASSERT_EQ(implemented->GetTypeAttr(&attr), S_OK);
    EXPECT_TRUE(IsEqualGUID(attr->guid, *c.iid)) << GuidString(attr->guid);
    implemented->ReleaseTypeAttr(attr);
  }
}

TEST_F(TypeLibraryTest, InterfacesDeriveFromStdole2Dispatch) {
  for (UINT index : {1u, 3u}) {
    ComPtr<ITypeInfo> vtable = VtablePart(index);
    ASSERT_TRUE(vtable);
    TYPEATTR* attr = nullptr;
    ASSERT_EQ(vtable->GetTypeAttr(&attr), S_OK);
    EXPECT_EQ(attr->typekind, TKIND_INTERFACE);
    EXPECT_EQ(attr->cImplTypes, 1);
    // The stored description carries all four flags; the loader reports
    // TYPEFLAG_FOLEAUTOMATION on the method-table part only.
    EXPECT_EQ(attr->wTypeFlags, TYPEFLAG_FDUAL | TYPEFLAG_FNONEXTENSIBLE | TYPEFLAG_FOLEAUTOMATION |
                                    TYPEFLAG_FDISPATCHABLE);
    vtable->ReleaseTypeAttr(attr);

    HREFTYPE ref = 0;
    ASSERT_EQ(vtable->GetRefTypeOfImplType(0, &ref), S_OK);
    ComPtr<ITypeInfo> base;
    ASSERT_EQ(vtable->GetRefTypeInfo(ref, base.put()), S_OK);
    ASSERT_EQ(base->GetTypeAttr(&attr), S_OK);
    EXPECT_TRUE(IsEqualGUID(attr->guid, IID_IDispatch));
    base->ReleaseTypeAttr(attr);
    ComPtr<ITypeLib> container;
    UINT position = 0;
    ASSERT_EQ(base->GetContainingTypeLib(container.put(), &position), S_OK);
    TLIBATTR* lib = nullptr;
    ASSERT_EQ(container->GetLibAttr(&lib), S_OK);
    EXPECT_TRUE(IsEqualGUID(lib->guid, kStdOle2)) << GuidString(lib->guid);
    container->ReleaseTLibAttr(lib);
  }
}

TEST_F(TypeLibraryTest, CommonInterfaceMethods) {
  ComPtr<ITypeInfo> vtable = VtablePart(1);
  ASSERT_TRUE(vtable);
  TYPEATTR* attr = nullptr;
  ASSERT_EQ(vtable->GetTypeAttr(&attr), S_OK);
  const std::vector<Method>& methods = CommonMethods();
  ASSERT_EQ(attr->cFuncs, methods.size());
  // The slots after the three of IUnknown and the four of IDispatch.
  EXPECT_EQ(attr->cbSizeVft, (7 + methods.size()) * sizeof(void*));
  vtable->ReleaseTypeAttr(attr);

  for (UINT i = 0; i < methods.size(); ++i) {
    const Method& method = methods[i];
    SCOPED_TRACE(method.name);
    FUNCDESC* func = nullptr;
    ASSERT_EQ(vtable->GetFuncDesc(i, &func), S_OK);
    EXPECT_EQ(func->memid, method.id);
    EXPECT_EQ(func->funckind, FUNC_PUREVIRTUAL);
    EXPECT_EQ(func->invkind, INVOKE_FUNC);
    EXPECT_EQ(func->callconv, CC_STDCALL);
    EXPECT_EQ(func->oVft, static_cast<SHORT>((7 + i) * sizeof(void*)));
    EXPECT_EQ(func->cParamsOpt, 0);
    EXPECT_EQ(func->elemdescFunc.tdesc.vt, VT_HRESULT);
    ASSERT_EQ(func->cParams, static_cast<SHORT>(method.params.size()));

    std::vector<UniqueBstr> names(method.params.size() + 1);
    std::vector<BSTR> raw(names.size());
    UINT count = 0;
    ASSERT_EQ(vtable->GetNames(func->memid, raw.data(), raw.size(), &count), S_OK);
    for (UINT n = 0; n < count; ++n) names[n].reset(raw[n]);
    ASSERT_EQ(count, raw.size());
    EXPECT_STREQ(names[0].get(), method.name);

    for (size_t p = 0; p < method.params.size(); ++p) {
      const Param& expected = method.params[p];
      SCOPED_TRACE(expected.name);
      const ELEMDESC& param = func->lprgelemdescParam[p];
      EXPECT_STREQ(names[p + 1].get(), expected.name);
      EXPECT_EQ(param.paramdesc.wParamFlags, expected.flags);
      if (expected.pointer) {
        ASSERT_EQ(param.tdesc.vt, VT_PTR);
        EXPECT_EQ(param.tdesc.lptdesc->vt, expected.type);
      } else {
        EXPECT_EQ(param.tdesc.vt, expected.type);
      }
    }
    vtable->ReleaseFuncDesc(func);
  }
}

// IICommonInterface2: derived from IICommonInterface, whose slots it keeps,
// with three methods of its own after them.
TEST_F(TypeLibraryTest, SecondCommonInterfaceAddsThreeMethods) {
  ComPtr<ITypeInfo> vtable = VtablePart(4);
  ASSERT_TRUE(vtable);
  TYPEATTR* attr = nullptr;
  ASSERT_EQ(vtable->GetTypeAttr(&attr), S_OK);
  EXPECT_EQ(attr->cFuncs, 3);
  EXPECT_EQ(attr->cbSizeVft, (7 + 4 + 3) * sizeof(void*));
  EXPECT_EQ(attr->cImplTypes, 1);
  vtable->ReleaseTypeAttr(attr);
  HREFTYPE ref = 0;
  ASSERT_EQ(vtable->GetRefTypeOfImplType(0, &ref), S_OK);
  ComPtr<ITypeInfo> base;
  ASSERT_EQ(vtable->GetRefTypeInfo(ref, base.put()), S_OK);
  ASSERT_EQ(base->GetTypeAttr(&attr), S_OK);
  EXPECT_TRUE(IsEqualGUID(attr->guid, IID_IICommonInterface)) << GuidString(attr->guid);
  base->ReleaseTypeAttr(attr);

  const std::vector<Method> methods = {
      {L"NotifyApplicationUpdated", 5, CommonMethods()[2].params},
      {L"NotifyApplicationUninstalled",
       6,
       {{L"nsMainProgramPath", VT_BSTR, false, kIn}, {L"npErrorCode", VT_INT, true, kOut}}},
      {L"NotifyWidgetUninstalled",
       7,
       {{L"nsName", VT_BSTR, false, kIn}, {L"npErrorCode", VT_INT, true, kOut}}},
  };
  for (UINT i = 0; i < methods.size(); ++i) {
    const Method& method = methods[i];
    SCOPED_TRACE(method.name);
    FUNCDESC* func = nullptr;
    ASSERT_EQ(vtable->GetFuncDesc(i, &func), S_OK);
    EXPECT_EQ(func->memid, method.id);
    EXPECT_EQ(func->invkind, INVOKE_FUNC);
    EXPECT_EQ(func->callconv, CC_STDCALL);
    EXPECT_EQ(func->oVft, static_cast<SHORT>((11 + i) * sizeof(void*)));
    EXPECT_EQ(func->elemdescFunc.tdesc.vt, VT_HRESULT);
    ASSERT_EQ(func->cParams, static_cast<SHORT>(method.params.size()));
    std::vector<BSTR> raw(method.params.size() + 1);
    UINT count = 0;
    ASSERT_EQ(vtable->GetNames(func->memid, raw.data(), raw.size(), &count), S_OK);
    std::vector<UniqueBstr> names(raw.size());
    for (UINT n = 0; n < count; ++n) names[n].reset(raw[n]);
    ASSERT_EQ(count, raw.size());
    EXPECT_STREQ(names[0].get(), method.name);
    for (size_t p = 0; p < method.params.size(); ++p) {
      const ELEMDESC& param = func->lprgelemdescParam[p];
      EXPECT_STREQ(names[p + 1].get(), method.params[p].name);
      EXPECT_EQ(param.paramdesc.wParamFlags, method.params[p].flags);
      const VARTYPE type = method.params[p].pointer ? param.tdesc.lptdesc->vt : param.tdesc.vt;
      EXPECT_EQ(param.tdesc.vt == VT_PTR, method.params[p].pointer);
      EXPECT_EQ(type, method.params[p].type);
    }
    vtable->ReleaseFuncDesc(func);
  }
}

TEST_F(TypeLibraryTest, TamsiverInterfaceHasNoMethodsOfItsOwn) {
  ComPtr<ITypeInfo> vtable = VtablePart(3);
  ASSERT_TRUE(vtable);
  TYPEATTR* attr = nullptr;
  ASSERT_EQ(vtable->GetTypeAttr(&attr), S_OK);
  EXPECT_EQ(attr->cFuncs, 0);
  EXPECT_EQ(attr->cbSizeVft, 7 * sizeof(void*));
  vtable->ReleaseTypeAttr(attr);
}

// --- Registry scripts ----------------------------------------------------------

std::string Ascii(const std::wstring& text) { return std::string(text.begin(), text.end()); }

// The class script: the class and library identifiers are the module's;
// with |prog_ids| the class's two ProgIDs come first and its key names them.
std::string ClassScript(REFCLSID clsid, const char* description, bool prog_ids = false) {
  const std::string id = Ascii(GuidString(clsid));
  const std::string prog_id_keys =
      !prog_ids ? ""
                : "\tTamsiver.CommonInterface.1 = s '" + std::string(description) +
                      "'\r\n\t{\r\n\t\tCLSID = s '" + id +
                      "'\r\n\t}\r\n\tTamsiver.CommonInterface = s '" + description +
                      "'\r\n\t{\r\n\t\tCLSID = s '" + id +
                      "'\r\n\t\tCurVer = s 'Tamsiver.CommonInterface.1'\r\n\t}\r\n";
  const std::string prog_id_values =
      !prog_ids ? ""
                : "\t\t\tProgID = s 'Tamsiver.CommonInterface.1'\r\n"
                  "\t\t\tVersionIndependentProgID = s 'Tamsiver.CommonInterface'\r\n";
  return "HKCR\r\n{\r\n" + prog_id_keys + "\tNoRemove CLSID\r\n\t{\r\n\t\tForceRemove " + id +
         " = s '" + description + "'\r\n\t\t{\r\n" + prog_id_values +
         "\t\t\tForceRemove Programmable\r\n"
         "\t\t\tInprocServer32 = s '%MODULE%'\r\n\t\t\t{\r\n"
         "\t\t\t\tval ThreadingModel = s 'Apartment'\r\n\t\t\t}\r\n"
         "\t\t\tTypeLib = s '" +
         Ascii(GuidString(LIBID_OrvoCommLib)) +
         "'\r\n"
         "\t\t\tVersion = s '1.0'\r\n\t\t}\r\n\t}\r\n}\r\n";
}

TEST(RegistryScriptResourceTest, ScriptsInChineseSimplifiedWithExactText) {
  UniqueModule module(LoadLibraryExW(ServerPath().c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE));
  ASSERT_TRUE(module);
  const struct {
    int number;
    std::string text;
  } scripts[] = {
      {101, "HKCR\r\n{\r\n}\r\n"},
      {106, ClassScript(CLSID_ICommonInterface, "ICommonInterface Class", true)},
      {107, ClassScript(CLSID_TamsiverCommonInterface, "TamsiverCommonInterface Class")},
  };
  const WORD chinese = MAKELANGID(LANG_CHINESE, SUBLANG_CHINESE_SIMPLIFIED);
  ASSERT_EQ(chinese, 2052);
  for (const auto& script : scripts) {
    SCOPED_TRACE(script.number);
    HRSRC found =
        FindResourceExW(module.get(), L"REGISTRY", MAKEINTRESOURCEW(script.number), chinese);
    ASSERT_NE(found, nullptr);
    HGLOBAL loaded = LoadResource(module.get(), found);
    ASSERT_NE(loaded, nullptr);
    const char* data = static_cast<const char*>(LockResource(loaded));
    EXPECT_EQ(std::string(data, SizeofResource(module.get(), found)), script.text);
  }
  // The braced forms the module hands out match its identifiers.
  EXPECT_EQ(GuidString(CLSID_ICommonInterface), kICommonInterfaceClsidString);
  EXPECT_EQ(GuidString(CLSID_TamsiverCommonInterface), kTamsiverCommonInterfaceClsidString);
  EXPECT_EQ(GuidString(LIBID_OrvoCommLib), kLibIdString);
}

TEST(RegistryScriptResourceTest, TypeLibraryAndVersionBlockPresent) {
  UniqueModule module(LoadLibraryExW(ServerPath().c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE));
  ASSERT_TRUE(module);
  EXPECT_NE(FindResourceW(module.get(), MAKEINTRESOURCEW(1), L"TYPELIB"), nullptr);
  EXPECT_NE(FindResourceW(module.get(), MAKEINTRESOURCEW(VS_VERSION_INFO), RT_VERSION), nullptr);
}

}  // namespace
}  // namespace orvo::server
