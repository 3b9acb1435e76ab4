// The binary layout of the store interfaces: the vtable slot of every
// operation, one destructor slot, and calls made the way a module built with
// another compiler makes them (through the raw slot, `this` first).
#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <type_traits>

#include "store/config_file.h"
#include "store/key.h"
#include "tests/store/key_test_util.h"

using orvo::store::CreateConfigFile;

namespace orvo::testing {
namespace {

static_assert(!std::has_virtual_destructor_v<IBaseObject>, "no C++ virtual destructor");
static_assert(!std::has_virtual_destructor_v<IConfigFile>, "no C++ virtual destructor");
static_assert(!std::has_virtual_destructor_v<ICfKey>, "no C++ virtual destructor");
static_assert(sizeof(IConfigFile) == sizeof(void*), "an interface is only its vtable pointer");
static_assert(sizeof(ICfKey) == sizeof(void*), "an interface is only its vtable pointer");

// The slot of a virtual member function, from the Itanium encoding of a
// pointer to it (g++ and mingw): 1 + the byte offset in the vtable.
template <class F>
ptrdiff_t SlotOf(F f) {
  struct Encoded {
    uintptr_t ptr;
    ptrdiff_t adj;
  };
  static_assert(sizeof(F) == sizeof(Encoded), "Itanium member function pointer");
  Encoded e;
  std::memcpy(&e, &f, sizeof(e));
  if ((e.ptr & 1) == 0 || e.adj != 0) return -1;  // not virtual
  return static_cast<ptrdiff_t>((e.ptr - 1) / sizeof(void*));
}

TEST(InterfaceLayoutTest, ConfigFileSlots) {
  EXPECT_EQ(SlotOf(&IConfigFile::AddRef), 0);
  EXPECT_EQ(SlotOf(&IConfigFile::Release), 1);
  EXPECT_EQ(SlotOf(&IConfigFile::GetClassName), 2);
  EXPECT_EQ(SlotOf(&IConfigFile::IsClassName), 3);
  EXPECT_EQ(SlotOf(&IConfigFile::GetRootKey), 4);
  EXPECT_EQ(SlotOf(&IConfigFile::OpenKey), 5);
  EXPECT_EQ(SlotOf(&IConfigFile::Save), 6);
  EXPECT_EQ(SlotOf(&IConfigFile::DeletingDestructor), 7);
}

TEST(InterfaceLayoutTest, KeySlots) {
  const ptrdiff_t slots[] = {
      SlotOf(&ICfKey::AddRef),
      SlotOf(&ICfKey::Release),
      SlotOf(&ICfKey::GetClassName),
      SlotOf(&ICfKey::IsClassName),
      SlotOf(&ICfKey::Delete),
      SlotOf(&ICfKey::CreateChildWithId),
      SlotOf(&ICfKey::CreateChild),
      SlotOf(&ICfKey::OpenKey),
      SlotOf(&ICfKey::GetParent),
      SlotOf(&ICfKey::GetNextSibling),
      SlotOf(&ICfKey::GetChildById),
      SlotOf(&ICfKey::FindChild),
      SlotOf(&ICfKey::GetFirstChild),
      SlotOf(&ICfKey::MoveToParent),
      SlotOf(&ICfKey::MoveToNextSiblingEx),
      SlotOf(&ICfKey::MoveToNextSibling),
      SlotOf(&ICfKey::MoveToChild),
      SlotOf(&ICfKey::MoveToChildById),
      SlotOf(&ICfKey::MoveToFirstChild),
      SlotOf(&ICfKey::GetType),
      SlotOf(&ICfKey::GetAttributes),
      SlotOf(&ICfKey::GetValueLength),
      SlotOf(&ICfKey::GetName),
      SlotOf(&ICfKey::Rename),
      SlotOf(&ICfKey::GetId),
      SlotOf(&ICfKey::GetIndex),
      SlotOf(&ICfKey::SetValue),
      SlotOf(&ICfKey::GetValue),
      SlotOf(&ICfKey::SetAttributes),
      SlotOf(&ICfKey::GetInt),
      SlotOf(&ICfKey::GetFloat),
      SlotOf(&ICfKey::GetDword),
      SlotOf(&ICfKey::GetChildIntById),
      SlotOf(&ICfKey::GetChildInt),
      SlotOf(&ICfKey::GetChildFloatById),
      SlotOf(&ICfKey::GetChildFloat),
      SlotOf(&ICfKey::GetChildDwordById),
      SlotOf(&ICfKey::GetChildDword),
      SlotOf(&ICfKey::GetChildValue),
      SlotOf(&ICfKey::DeletingDestructor),
  };
  ASSERT_EQ(sizeof(slots) / sizeof(slots[0]), 40u);
  for (ptrdiff_t i = 0; i < 40; ++i) EXPECT_EQ(slots[i], i) << "operation " << i;
}

// Raw slot calls with the member calling convention (__thiscall on 32-bit
// Windows), as a caller built with another compiler makes them.
template <class Fn>
Fn RawSlot(const void* object, int slot) {
  const void* const* vtable;
  std::memcpy(&vtable, object, sizeof(vtable));
  Fn fn;
  std::memcpy(&fn, &vtable[slot], sizeof(fn));
  return fn;
}

using RawIsClassName = int32_t(CF_CALL*)(void*, const CfChar*);
using RawOpenKey = ICfKey*(CF_CALL*)(void*, const CfChar*, uint32_t);
using RawSetValue = uint8_t(CF_CALL*)(void*, int32_t, const void*, int32_t);
using RawGetValue = int32_t(CF_CALL*)(void*, void*, int32_t);
using RawGetFloat = float(CF_CALL*)(void*, float);
using RawCreateChildWithId = ICfKey*(CF_CALL*)(void*, uint32_t, uint32_t, int32_t, const void*,
                                               int32_t);
using RawRelease = int32_t(CF_CALL*)(void*);

TEST(InterfaceLayoutTest, RawCallsReachTheOperations) {
  CConfigFile* file = CreateConfigFile(nullptr, kOpenAlways);
  ASSERT_NE(file, nullptr);
  IConfigFile* as_interface = file;

  EXPECT_EQ(RawSlot<RawIsClassName>(as_interface, 3)(as_interface, glszBNCConfigFile), 1);

  // The create flag arrives in 32 bits; only its low byte counts.
  auto open_key = RawSlot<RawOpenKey>(as_interface, 5);
  EXPECT_EQ(open_key(as_interface, u"made", 0xFFFFFF00u), nullptr);
  ICfKey* key = open_key(as_interface, u"made", 0xFFFFFF01u);
  ASSERT_NE(key, nullptr);

  const float pi = 3.25f;
  EXPECT_EQ(RawSlot<RawSetValue>(key, 26)(key, CfTypeBinary, &pi, 4), 1);
  EXPECT_EQ(RawSlot<RawGetFloat>(key, 30)(key, -1.0f), 3.25f);
  char buffer[8] = {};
  EXPECT_EQ(RawSlot<RawGetValue>(key, 27)(key, buffer, 3), -1);
  EXPECT_EQ(RawSlot<RawGetValue>(key, 27)(key, buffer, 8), 4);
  EXPECT_EQ(std::memcmp(buffer, &pi, 4), 0);

  // Six arguments, one of them a bool in 32 bits, then a call right after:
  // the stack is balanced whoever cleans it.
  ICfKey* unnamed =
      RawSlot<RawCreateChildWithId>(key, 5)(key, 7, 0xABCDEF00u, CfTypeNone, nullptr, 0);
  ASSERT_NE(unnamed, nullptr);
  EXPECT_EQ(unnamed->GetId(nullptr), 7u);
  EXPECT_EQ(RawSlot<RawRelease>(unnamed, 1)(unnamed), 0);
  EXPECT_EQ(RawSlot<RawRelease>(key, 1)(key), 0);

  ExpectSettled(file);
  EXPECT_EQ(RawSlot<RawRelease>(as_interface, 1)(as_interface), 0);
}

TEST(BaseObjectTest, ClassNamesAreComparedByAddress) {
  CConfigFile* file = CreateConfigFile(nullptr, kOpenAlways);
  ASSERT_NE(file, nullptr);
  const CfChar copy[] = u"CConfigFile";
  EXPECT_EQ(std::u16string(file->GetClassName()), u"CConfigFile");
  EXPECT_EQ(file->GetClassName(), glszBNCConfigFile);
  EXPECT_EQ(file->IsClassName(file->GetClassName()), 1);
  EXPECT_EQ(file->IsClassName(copy), 0);
  EXPECT_EQ(file->IsClassName(u"CConfigFile"), 0);
  EXPECT_EQ(file->IsClassName(nullptr), 0);
  EXPECT_EQ(file->IsClassName(glszBNCCfKeyInterface), 0);

  ICfKey* root = file->GetRootKey();
  EXPECT_EQ(std::u16string(root->GetClassName()), u"CCfKeyInterface");
  EXPECT_EQ(root->IsClassName(glszBNCCfKeyInterface), 1);
  EXPECT_EQ(root->IsClassName(u"CCfKeyInterface"), 0);
  EXPECT_EQ(root->IsClassName(glszBNCConfigFile), 0);
  root->Release();
  file->Release();
}

TEST(BaseObjectTest, FileCountIsPlainAndDestroysAtZero) {
  CConfigFile* file = CreateConfigFile(nullptr, kOpenAlways);
  ASSERT_NE(file, nullptr);
  EXPECT_EQ(file->AddRef(), 2);
  EXPECT_EQ(file->AddRef(), 3);
  EXPECT_EQ(file->Release(), 2);
  EXPECT_EQ(file->Release(), 1);
  EXPECT_EQ(file->Release(), 0);  // destroyed; the sanitizers see a leak or reuse
}

}  // namespace
}  // namespace orvo::testing
