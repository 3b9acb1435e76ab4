// Drives one configuration tree with a sequence of key operations decoded
// from the input, holding up to 8 key references at a time. After every step
// the file object's bookkeeping must hold (CheckInvariants) and the results
// must agree with each other (names find their keys, ids and occurrences find
// their keys, values read back as written, protected keys refuse changes).
// At the end, and on request in the middle, the tree is saved to an in-memory
// file system and loaded into a second file object, which must hold the same
// tree. On request the tree is replaced by one read from a file that the
// input lays out as another program may write it: the root's children in any
// order, ids of their names, of other names or plain numbers, names twice. Finally every reference
// is released: only the file object's own root key may stay registered, and the idle pool keeps at
// most 5 key objects.
//
// Input: a stream of operations, each an opcode byte (0xF0 and above: a tree
// read from a written file; else taken modulo 22) and its operand bytes; missing bytes read as 0.
// An empty source slot is given the root key first. Operand encodings:
//   slots  one byte: source slot in bits 0-2, destination slot in bits 4-6
//   path   one byte c, then c % 6 token bytes (tokens: kTokens below)
//   type   one byte: bits 0-1 and 4-7 as given; with bits 2 and 3 both set
//          the raw byte (an invalid type)
//   length one byte selecting -1, 0, 4, a short or a long length, an
//          invalid one, or null data
//   id / occurrence / name length: one byte indexing a small table
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/file.h"
#include "platform/memory_file_system.h"
#include "store/config_file.h"
#include "store/key.h"
#include "store/name.h"
#include "store/ref.h"
#include "tests/store/record_bytes.h"

using orvo::store::CfNameHash;
using orvo::store::CreateConfigFile;

namespace {

using orvo::platform::MemoryFileSystem;

constexpr int kSlots = 8;
constexpr int kMaxOps = 256;
constexpr int kMaxValue = 300;
constexpr const char16_t* kSaved = u"ops.set";
constexpr const char16_t* kWritten = u"written.set";

[[noreturn]] void Fail(const std::string& what) {
  std::fprintf(stderr, "key_ops_fuzzer: %s\n", what.c_str());
  std::fflush(stderr);
  __builtin_trap();
}

void Check(bool ok, const char* what) {
  if (!ok) Fail(what);
}

MemoryFileSystem* FileSystem() {
  static MemoryFileSystem* fs = [] {
    MemoryFileSystem* m = new MemoryFileSystem();
    orvo::platform::SetFileSystemForTesting(m);
    return m;
  }();
  return fs;
}

class Input {
 public:
  Input(const uint8_t* data, size_t size) : p_(data), n_(size) {}
  bool empty() const { return n_ == 0; }
  uint8_t Byte() {
    if (n_ == 0) return 0;
    --n_;
    return *p_++;
  }

 private:
  const uint8_t* p_;
  size_t n_;
};

// Name pieces: letters in both cases (ASCII and not), separators, the
// forbidden '<' and '>', and a 254-unit piece that runs past 255 when joined.
const std::u16string kTokens[16] = {
    u"a", u"A", u"b", u"ab", u"AB", u"\u00e4", u"\u00c4", u"\\",
    u"/", u"<", u">", u"",   u"c",  u"app",    u"Root",   std::u16string(254, u'z'),
};

std::u16string ReadPath(Input* in) {
  std::u16string s;
  const int count = in->Byte() % 6;
  for (int i = 0; i < count; ++i) s += kTokens[in->Byte() % 16];
  return s;
}

uint32_t ReadId(Input* in) {
  static const uint32_t kIds[8] = {0, 1, 2, 7, 0xC2, 0x5A8, 0xFFFFFFFF, 0x80000000};
  return kIds[in->Byte() % 8];
}

int32_t ReadOccurrence(Input* in) {
  static const int32_t kOccurrences[8] = {0, 1, 2, 3, -1, -2, 100, INT32_MIN};
  return kOccurrences[in->Byte() % 8];
}

int32_t ReadNameLength(Input* in) {
  static const int32_t kLengths[8] = {-1, 0, 1, 2, 3, 255, 256, -7};
  return kLengths[in->Byte() % 8];
}

int32_t ReadType(Input* in) {
  const uint8_t b = in->Byte();
  if ((b & 0x0C) == 0x0C) return b;  // invalid: branch and key-bound bits
  return b & (kCfTypeMask | kCfAttributeMask);
}

// A value to store: |data| (null or a buffer that holds a NUL unit within
// kMaxValue + 2 bytes) and |length|.
struct ValueArg {
  alignas(8) uint8_t buffer[kMaxValue + 8];
  const void* data;
  int32_t length;
};

void ReadValue(Input* in, ValueArg* v) {
  const uint8_t seed = in->Byte();
  // The text end for a length of -1: an aligned NUL unit.
  const int end = 2 * (in->Byte() % 48);
  std::memset(v->buffer, 0, sizeof(v->buffer));
  for (int i = 0; i < kMaxValue; ++i) {
    v->buffer[i] = static_cast<uint8_t>((seed + 7 * i) | 1);  // no NUL byte
  }
  v->buffer[end] = 0;
  v->buffer[end + 1] = 0;
  v->data = v->buffer;
  switch (in->Byte() % 8) {
    case 0:
      v->length = -1;
      break;
    case 1:
      v->length = 0;
      break;
    case 2:
      v->length = 4;
      break;
    case 3:
      v->length = in->Byte() % 16;
      break;
    case 4:
      v->length = kMaxValue - in->Byte() % 64;
      break;
    case 5:
      v->length = -2 - in->Byte() % 4;  // refused
      break;
    case 6:
      v->length = 65536 + in->Byte();  // refused
      break;
    default:
      v->data = nullptr;
      v->length = in->Byte() % 3 == 0 ? -1 : in->Byte() % 8;
      break;
  }
}

// The length stored for |length| -1: SetValue computes it from an exact type
// of 2 or 3, the creating operations from the type's low two bits.
int32_t ResolvedLength(int32_t type, const void* data, int32_t length, bool low_bits) {
  if (length != -1) return length;
  if (data == nullptr) return 0;
  if (low_bits) type &= 3;
  if (type == CfTypeString)
    return static_cast<int32_t>(std::strlen(static_cast<const char*>(data))) + 1;
  if (type == CfTypeWString) {
    const char16_t* s = static_cast<const char16_t*>(data);
    int32_t n = 0;
    while (s[n] != 0) ++n;
    return (n + 1) * 2;
  }
  return 0;
}

std::string ValueOf(ICfKey* key) {
  const int32_t length = key->GetValueLength();
  std::string v(static_cast<size_t>(length), '\0');
  if (length > 0)
    Check(key->GetValue(&v[0], length) == length, "GetValue of the full length fails");
  return v;
}

bool IsDetached(ICfKey* key) { return key->GetName(nullptr, 0) < 0; }

bool NamesMatch(const CfChar* a, int32_t na, const CfChar* b, int32_t nb) {
  if (na != nb) return false;
  for (int32_t i = 0; i < na; ++i) {
    CfChar x = a[i], y = b[i];
    if (x >= u'A' && x <= u'Z') x = static_cast<CfChar>(x + 32);
    if (y >= u'A' && y <= u'Z') y = static_cast<CfChar>(y + 32);
    if (x != y) return false;
  }
  return true;
}

// The index of the child that a name lookup in |parent| must find: the first
// in table order filed under the name's hash whose name matches; -1 if none.
int32_t FirstOfName(ICfKey* parent, const CfChar* name, int32_t n) {
  const uint32_t hash = CfNameHash(name, n, nullptr);
  int32_t index = 0;
  for (auto k = CfRef<ICfKey>::Adopt(parent->GetFirstChild()); k;
       k.attach(k->GetNextSibling()), ++index) {
    if (k->GetId(nullptr) != hash) continue;
    CfChar other[kCfMaxNameLength + 1];
    const int32_t m = k->GetName(other, kCfMaxNameLength + 1);
    if (NamesMatch(other, m, name, n)) return index;
  }
  return -1;
}

// The results of the read-only operations agree with each other and with
// the tree's shape.
void Inspect(ICfKey* key) {
  if (IsDetached(key)) {
    Check(key->GetIndex() == -1, "detached key has an index");
    Check(key->GetFirstChild() == nullptr, "detached key has a first child");
    Check(key->GetNextSibling() == nullptr, "detached key has a next sibling");
    uint8_t b[4];
    Check(key->GetValue(b, 4) == -1, "detached key gives a value");
    Check(!key->SetValue(CfTypeBinary, b, 0), "detached key takes a value");
    return;
  }
  CfChar name[kCfMaxNameLength + 1];
  const int32_t n = key->GetName(name, kCfMaxNameLength + 1);
  Check(n >= 0 && n <= kCfMaxNameLength, "name length out of range");
  if (n > 0) Check(key->GetName(name, n) == -1, "GetName with a short buffer succeeds");

  const int32_t length = key->GetValueLength();
  Check(length >= 0 && length <= 65535, "value length out of range");
  Check(key->GetType() >= 0 && key->GetType() <= 3, "type out of range");
  Check((key->GetAttributes() & ~kCfAttributeMask) == 0, "attributes outside the nibble");
  const std::string value = ValueOf(key);
  if (length > 0) {
    uint8_t sentinel[kMaxValue + 1];
    std::memset(sentinel, 0xA5, sizeof(sentinel));
    if (length <= kMaxValue) {
      Check(key->GetValue(sentinel, length - 1) == -1, "GetValue with a short buffer succeeds");
      for (uint8_t b : sentinel) Check(b == 0xA5, "GetValue wrote into a short buffer");
    }
  }
  int32_t as_int;
  std::memcpy(&as_int, value.data(), length == 4 ? 4 : 0);
  Check(key->GetInt(-77) == (length == 4 ? as_int : -77), "GetInt disagrees with the value");
  Check(key->GetDword(77) == (length == 4 ? static_cast<uint32_t>(as_int) : 77u),
        "GetDword disagrees with the value");

  auto parent = CfRef<ICfKey>::Adopt(key->GetParent());
  if (!parent) {
    Check(key->GetIndex() == -1, "root key has an index");
    int32_t occurrence = -1;
    key->GetId(&occurrence);  // not settled for the root key; it must not fail hard
    return;
  }
  const int32_t index = key->GetIndex();
  Check(index >= 0, "child key without an index");
  int32_t occurrence = -1;
  const uint32_t id = key->GetId(&occurrence);
  Check(occurrence >= 0 && occurrence <= index, "occurrence out of range");
  {
    auto by_id = CfRef<ICfKey>::Adopt(parent->GetChildById(id, occurrence));
    Check(by_id.get() == key, "GetChildById(GetId) is another key");
  }
  if (n > 0) {
    // Children read from a file may share a name, or be filed under another
    // id than their name's: the lookup finds the first of the name by table
    // order, every time.
    int32_t consumed = -1;
    auto by_name = CfRef<ICfKey>::Adopt(parent->FindChild(name, -1, &consumed, false));
    Check(consumed == n, "FindChild consumed another length");
    const int32_t first = FirstOfName(parent.get(), name, n);
    Check((by_name ? by_name->GetIndex() : -1) == first,
          "FindChild(GetName) is not the first child of the name");
    if (first >= 0 && key->GetId(nullptr) == CfNameHash(name, n, nullptr)) {
      Check(first <= index, "a child of the name before the first");
    }
    if (first == index) Check(by_name.get() == key, "FindChild(GetName) is another key");
    auto again = CfRef<ICfKey>::Adopt(parent->FindChild(name, -1, nullptr, false));
    Check(again.get() == by_name.get(), "FindChild answers differently the second time");
  }
}

// Walks both trees in the same order and compares every key.
void CompareTrees(IConfigFile* x, IConfigFile* y) {
  auto a = CfRef<ICfKey>::Adopt(x->GetRootKey());
  auto b = CfRef<ICfKey>::Adopt(y->GetRootKey());
  Check(a && b, "no root key");
  int depth = 0;
  for (;;) {
    CfChar na[kCfMaxNameLength + 1], nb[kCfMaxNameLength + 1];
    const int32_t la = a->GetName(na, kCfMaxNameLength + 1);
    const int32_t lb = b->GetName(nb, kCfMaxNameLength + 1);
    Check(la == lb && std::memcmp(na, nb, static_cast<size_t>(la) * 2) == 0,
          "reloaded tree: names differ");
    Check(a->GetType() == b->GetType(), "reloaded tree: types differ");
    Check(a->GetAttributes() == b->GetAttributes(), "reloaded tree: attributes differ");
    Check(ValueOf(a.get()) == ValueOf(b.get()), "reloaded tree: values differ");
    if (depth > 0) {
      int32_t oa = -1, ob = -2;
      Check(a->GetId(&oa) == b->GetId(&ob) && oa == ob, "reloaded tree: ids differ");
      Check(a->GetIndex() == b->GetIndex(), "reloaded tree: order differs");
    }
    auto ca = CfRef<ICfKey>::Adopt(a->GetFirstChild());
    auto cb = CfRef<ICfKey>::Adopt(b->GetFirstChild());
    Check(!ca == !cb, "reloaded tree: children differ");
    if (ca) {
      a = std::move(ca);
      b = std::move(cb);
      ++depth;
      continue;
    }
    for (;;) {
      if (depth == 0) return;
      auto sa = CfRef<ICfKey>::Adopt(a->GetNextSibling());
      auto sb = CfRef<ICfKey>::Adopt(b->GetNextSibling());
      Check(!sa == !sb, "reloaded tree: siblings differ");
      if (sa) {
        a = std::move(sa);
        b = std::move(sb);
        break;
      }
      a.attach(a->GetParent());
      b.attach(b->GetParent());
      --depth;
    }
  }
}

void CheckBookkeeping(CConfigFile* file) {
  std::string why;
  if (!file->CheckInvariants(&why)) Fail("invariant: " + why);
}

// The bytes of a file whose root lists children as the input gives them:
// up to 31 children, or 256 and more (a table large enough for position
// hints); each child a leaf named from a small pool (so that names repeat)
// and filed under the hash of its name, of another name, or a small id.
std::string WrittenFile(Input* in) {
  static const std::u16string kNames[8] = {u"a", u"A", u"b", u"ab", u"app", u"", u"c", u"Root"};
  static const uint32_t kIds[4] = {1, 2, 7, 0xFFFFFFFF};
  const uint8_t shape = in->Byte();
  const int count = (shape & 0x80) != 0 ? 256 + (shape & 0x3F) : (shape & 0x1F);
  std::vector<uint32_t> ids;
  std::string leaves;
  for (int i = 0; i < count; ++i) {
    const uint8_t b = in->Byte();
    const std::u16string& name = kNames[b & 7];
    uint32_t id = CfNameHash(name.c_str(), -1, nullptr);
    if (((b >> 3) & 3) == 2) id = CfNameHash(kNames[b >> 5].c_str(), -1, nullptr);
    if (((b >> 3) & 3) == 3) id = kIds[(b >> 5) & 3];
    ids.push_back(id);
    leaves += orvo::testing::Record(name, 0, std::string(1, static_cast<char>(i)), 0, {});
  }
  return orvo::testing::File(
      orvo::testing::Record(u"Root", orvo::testing::kBranchFlag, "", count, ids) + leaves);
}

// Saves |file| and loads the result into a second file object, which must
// hold the same tree; returns it.
CfRef<CConfigFile> SaveAndReload(CConfigFile* file) {
  Check(file->Save(kSaved), "save failed");
  auto copy = CfRef<CConfigFile>::Adopt(CreateConfigFile(kSaved, orvo::platform::kOpenExisting));
  Check(static_cast<bool>(copy), "saved file does not open");
  CompareTrees(file, copy.get());
  CheckBookkeeping(copy.get());
  Check(copy->LiveKeyCount() == 1, "second file object keeps keys after the walk");
  return copy;
}

// The end of a file object's life: with every caller key released only the
// root key that it keeps stays registered, and the pool keeps at most 5.
void ReleaseFile(CConfigFile* file) {
  CheckBookkeeping(file);
  Check(file->LiveKeyCount() == 1, "keys left registered after every release");
  Check(file->PoolSize() <= 5, "idle pool over its limit");
  Check(file->Release() == 0, "file object still referenced");
}

// Owns the file object being driven and the slots of key references.
class Driver {
 public:
  explicit Driver(CConfigFile* file) : file_(file) {}
  ~Driver() {
    ReleaseKeys();
    ReleaseFile(file_);
  }

  CConfigFile* file() const { return file_; }
  void Step(Input* in);
  // Inspects the keys of the slots the last step used.
  void InspectTouched() {
    for (ICfKey* k : {slots_[touched_ & 7], slots_[(touched_ >> 4) & 7]}) {
      if (k != nullptr) Inspect(k);
    }
  }

 private:
  // Stores |key| (one reference) in |slot|, releasing what was there.
  static void Put(ICfKey** slot, ICfKey* key) {
    ICfKey* old = *slot;
    *slot = key;
    if (old != nullptr) Check(old->Release() >= 0, "release of a held key finds no entry");
  }

  void ReleaseKeys() {
    for (ICfKey*& k : slots_) Put(&k, nullptr);
  }

  void SetValue(ICfKey* key, Input* in);

  CConfigFile* file_;
  ICfKey* slots_[kSlots] = {};
  // KEY_OPS_TRACE set: each step is written to stderr (for reading crashes).
  const bool trace_ = std::getenv("KEY_OPS_TRACE") != nullptr;
  uint8_t touched_ = 0;  // the slots byte of the last step
};

void Driver::SetValue(ICfKey* key, Input* in) {
  const int32_t type = ReadType(in);
  ValueArg v;
  ReadValue(in, &v);
  const bool was_protected = !IsDetached(key) && (key->GetAttributes() & kCfProtected) != 0;
  const std::string before = IsDetached(key) ? std::string() : ValueOf(key);
  const bool ok = key->SetValue(type, v.data, v.length);
  if (was_protected) Check(!ok, "a protected key took a value");
  if (!ok) {
    if (!IsDetached(key)) Check(ValueOf(key) == before, "a refused SetValue changed the value");
    return;
  }
  const int32_t length = ResolvedLength(type, v.data, v.length, false);
  Check(key->GetValueLength() == length, "stored value length differs");
  Check(key->GetType() == (type & 3), "stored type differs");
  Check(ValueOf(key) == std::string(static_cast<const char*>(v.data == nullptr ? "" : v.data),
                                    static_cast<size_t>(length)),
        "stored value differs");
}

void Driver::Step(Input* in) {
  // 0xF0 and above: go on with a written file (op 22); the rest as before.
  const uint8_t code = in->Byte();
  const uint8_t op = code >= 0xF0 ? 22 : code % 22;
  const uint8_t slots = in->Byte();
  touched_ = slots;
  ICfKey** src_slot = &slots_[slots & 7];
  ICfKey** dst_slot = &slots_[(slots >> 4) & 7];
  ICfKey* src = *src_slot;
  if (trace_) {
    std::fprintf(stderr, "op %d src %d (%s) dst %d\n", op, slots & 7,
                 src == nullptr    ? "empty"
                 : IsDetached(src) ? "detached"
                                   : "live",
                 (slots >> 4) & 7);
  }
  switch (op) {
    case 0:
      Put(dst_slot, file_->GetRootKey());
      return;
    case 1: {
      const std::u16string path = ReadPath(in);
      Put(dst_slot, file_->OpenKey(path.c_str(), (in->Byte() & 1) != 0));
      return;
    }
    case 20: {
      CfRef<CConfigFile> copy = SaveAndReload(file_);
      if ((in->Byte() & 1) != 0) {
        // Go on with the tree as read from the file.
        ReleaseKeys();
        ReleaseFile(file_);
        file_ = copy.release();
      }
      return;
    }
    case 22: {
      // Go on with a tree as another program may have written it.
      FileSystem()->SetFile(kWritten, WrittenFile(in));
      CConfigFile* written = CreateConfigFile(kWritten, orvo::platform::kOpenExisting);
      Check(written != nullptr, "a written file does not open");
      CheckBookkeeping(written);
      ReleaseKeys();
      ReleaseFile(file_);
      file_ = written;
      return;
    }
    default:
      break;
  }
  if (src == nullptr) {
    // An empty source slot gets the root key, so that every operation
    // decodes its operands the same way whatever the state.
    src = file_->GetRootKey();
    Check(src != nullptr, "no root key");
    *src_slot = src;
  }
  switch (op) {
    case 2: {
      const std::u16string path = ReadPath(in);
      Put(dst_slot, src->OpenKey(path.c_str(), (in->Byte() & 1) != 0));
      break;
    }
    case 3: {
      const std::u16string name = ReadPath(in);
      const int32_t limit = ReadNameLength(in);
      int32_t consumed = -5;
      ICfKey* found = src->FindChild(name.c_str(), limit, &consumed, (in->Byte() & 1) != 0);
      if (found != nullptr) Check(consumed >= 0 && consumed <= 255, "FindChild consumed too much");
      Put(dst_slot, found);
      break;
    }
    case 4:
    case 5: {
      const std::u16string name = op == 4 ? ReadPath(in) : std::u16string();
      const uint32_t id = op == 5 ? ReadId(in) : 0;
      const bool before = (in->Byte() & 1) != 0;
      const int32_t type = ReadType(in);
      ValueArg v;
      ReadValue(in, &v);
      ICfKey* made = op == 4 ? src->CreateChild(name.c_str(), type, v.data, v.length)
                             : src->CreateChildWithId(id, before, type, v.data, v.length);
      if (made != nullptr) {
        auto parent = CfRef<ICfKey>::Adopt(made->GetParent());
        Check(parent.get() == src, "a new child's parent is another key");
        Check(made->GetValueLength() == ResolvedLength(type, v.data, v.length, true),
              "a new child's value length differs");
        if (op == 5) Check(made->GetId(nullptr) == id, "a new child's id differs");
      }
      if (op == 5 && id == 0) Check(made == nullptr, "a child was made under id 0");
      Put(dst_slot, made);
      break;
    }
    case 6:
      Put(dst_slot, src->GetFirstChild());
      break;
    case 7:
      Put(dst_slot, src->GetNextSibling());
      break;
    case 8: {
      const uint32_t id = ReadId(in);
      Put(dst_slot, src->GetChildById(id, ReadOccurrence(in)));
      break;
    }
    case 9:
      Put(dst_slot, src->GetParent());
      break;
    case 10: {
      // The move operations give up the slot's reference themselves.
      const uint8_t which = in->Byte() % 7;
      *src_slot = nullptr;
      ICfKey* next = nullptr;
      switch (which) {
        case 0:
          next = src->MoveToParent();
          break;
        case 1:
          next = src->MoveToNextSibling();
          break;
        case 2:
        case 3:
          next = src->MoveToNextSiblingEx(which == 3);
          break;
        case 4: {
          const std::u16string name = ReadPath(in);
          next = src->MoveToChild(name.c_str(), ReadNameLength(in));
          break;
        }
        case 5:
          next = src->MoveToChildById(ReadId(in));
          break;
        default:
          next = src->MoveToFirstChild();
          break;
      }
      Put(src_slot, next);
      break;
    }
    case 11:
      SetValue(src, in);
      break;
    case 12:
      Inspect(src);
      break;
    case 13: {
      const std::u16string path = ReadPath(in);
      const uint32_t id = ReadId(in);
      uint8_t buffer[kMaxValue + 8];
      auto child = CfRef<ICfKey>::Adopt(src->OpenKey(path.c_str(), false));
      const int32_t want = child ? child->GetInt(-3) : -3;
      Check(src->GetChildInt(path.c_str(), -3) == want, "GetChildInt disagrees with OpenKey");
      Check(src->GetChildDword(path.c_str(), 3) == (child ? child->GetDword(3) : 3u),
            "GetChildDword disagrees with OpenKey");
      src->GetChildFloat(path.c_str(), 1.5f);
      const int32_t got = src->GetChildValue(path.c_str(), buffer, sizeof(buffer));
      if (!child || IsDetached(child.get()) ||
          child->GetValueLength() > static_cast<int32_t>(sizeof(buffer))) {
        Check(got == -1, "GetChildValue reads what it should not");
      } else {
        Check(got == child->GetValueLength(), "GetChildValue length differs");
      }
      auto by_id = CfRef<ICfKey>::Adopt(src->GetChildById(id, 0));
      Check(src->GetChildIntById(id, -4) == (by_id ? by_id->GetInt(-4) : -4),
            "GetChildIntById disagrees with GetChildById");
      src->GetChildDwordById(id, 4);
      src->GetChildFloatById(id, 2.5f);
      break;
    }
    case 14: {
      const uint8_t attributes = in->Byte();
      Check(src->SetAttributes(attributes), "SetAttributes failed");
      if (!IsDetached(src)) {
        Check(src->GetAttributes() == (attributes & kCfAttributeMask), "attributes not stored");
      }
      break;
    }
    case 15: {
      const std::u16string name = ReadPath(in);
      const bool fail_if_exists = (in->Byte() & 1) != 0;
      const bool was_protected = !IsDetached(src) && (src->GetAttributes() & kCfProtected) != 0;
      const bool ok = src->Rename(name.c_str(), fail_if_exists);
      if (was_protected) Check(!ok, "a protected key was renamed");
      break;
    }
    case 16: {
      const bool was_protected = !IsDetached(src) && (src->GetAttributes() & kCfProtected) != 0;
      const bool ok = src->Delete();
      if (was_protected) Check(!ok, "a protected key was deleted");
      if (ok) Check(IsDetached(src), "a deleted key is not detached");
      break;
    }
    case 17:
      Check(src->AddRef() >= 1, "AddRef on a held key saw no reference");
      Put(dst_slot, src);
      break;
    case 18:
      Put(src_slot, nullptr);
      break;
    case 19:
      // Release and retake through the root: the pool hands objects back.
      Put(src_slot, file_->OpenKey(u"", false));
      break;
    case 21: {
      // A chain of up to 64 keys, each held only by its child: the key
      // registry grows past the room inside the file object, and releasing
      // the slot unwinds the whole chain in one call.
      const int depth = 1 + in->Byte() % 64;
      const std::u16string& name = kTokens[in->Byte() % 16];
      const bool create = (in->Byte() & 1) != 0;
      Check(src->AddRef() >= 1, "AddRef on a held key saw no reference");
      auto current = CfRef<ICfKey>::Adopt(src);
      for (int i = 0; i < depth && current; ++i) {
        current.attach(current->FindChild(name.c_str(), -1, nullptr, create));
      }
      Put(dst_slot, current.release());
      break;
    }
    default:
      break;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FileSystem()->Remove(kSaved);
  CConfigFile* file = CreateConfigFile(nullptr, orvo::platform::kOpenAlways);
  Check(file != nullptr, "no file object");
  Input in(data, size);
  Driver driver(file);  // releases the keys, then the file object
  for (int ops = 0; ops < kMaxOps && !in.empty(); ++ops) {
    driver.Step(&in);
    CheckBookkeeping(driver.file());
    driver.InspectTouched();
  }
  SaveAndReload(driver.file());
  return 0;
}
