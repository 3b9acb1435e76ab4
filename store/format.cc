#include "store/format.h"

#include <cstdlib>
#include <cstring>

#include "store/child_table.h"
#include "store/coding.h"
#include "store/frame_stack.h"
#include "store/hash64.h"
#include "store/name.h"
#include "store/node_storage.h"

namespace orvo::store {

namespace {

// Size of a record as written: leaf records carry no child ids.
uint64_t RecordSize(const CfNode* node) {
  return kCfRecordFixedSize + 2u * node->name_length + node->value_length +
         4u * static_cast<uint64_t>(CfChildCount(node));
}

// REQUIRES: |out| has RecordSize(node) bytes of room.
void WriteRecord(const CfNode* node, uint8_t* out) {
  const int32_t k = CfChildCount(node);
  uint8_t flags = node->flags;
  if (k == 0) flags &= static_cast<uint8_t>(~kCfBranch);  // childless branches go out as leaves
  out[0] = node->name_length;
  out[1] = flags;
  EncodeFixed16(out + 2, node->value_length);
  EncodeFixed32(out + 4, static_cast<uint32_t>(k));
  uint8_t* p = out + kCfRecordFixedSize;
  const CfChar* name = CfName(node);
  for (int i = 0; i < node->name_length; ++i, p += 2) EncodeFixed16(p, name[i]);
  if (node->value_length > 0) std::memcpy(p, CfValue(node), node->value_length);
  p += node->value_length;
  for (int32_t i = 0; i < k; ++i, p += 4) EncodeFixed32(p, CfChildren(node)->entries[i].id);
}

// One record read from a body, not yet linked to its parent.
struct Record {
  CfNode* node;
  const uint8_t* ids;   // the child ids (branch records)
  int32_t count;        // children still to read after it
  const uint8_t* next;  // first byte after the record and its child ids
};

enum class ReadResult { kRead, kUnreadable, kNoMemory };

// A record's fixed fields, checked against the bytes left.
struct RecordShape {
  int name_units;  // n: units in the name field
  uint8_t flags;
  uint16_t value_length;
  int32_t count;      // child ids that follow (0 for a leaf record)
  uint64_t size;      // bytes of the record and its child ids
  size_t child_room;  // entries worth reserving: every child record takes 8 bytes or more
};

// False when the record at |p| cannot be read (see ParseNode).
bool ReadShape(const uint8_t* p, const uint8_t* end, RecordShape* r) {
  if (p >= end || static_cast<size_t>(end - p) < kCfRecordFixedSize) return false;
  const size_t avail = static_cast<size_t>(end - p);
  r->name_units = p[0];
  r->flags = p[1];
  r->value_length = DecodeFixed16(p + 2);
  int32_t k = static_cast<int32_t>(DecodeFixed32(p + 4));
  if ((r->flags & kCfBranch) == 0) {
    k = 0;  // a leaf record's count field carries nothing
  } else if (k < 0) {
    return false;
  }
  r->count = k;
  r->size =
      kCfRecordFixedSize + 2u * r->name_units + r->value_length + 4u * static_cast<uint64_t>(k);
  if (r->size > avail) return false;
  const size_t room = (avail - static_cast<size_t>(r->size)) / kCfRecordFixedSize;
  r->child_room = room < static_cast<size_t>(k) ? room : static_cast<size_t>(k);
  return true;
}

// False for every unit that neither ends a name (NUL, slash, backslash) nor
// is refused in one ('<', '>'); one test for most units of a name.
inline bool MayEndOrBeRefused(CfChar unit) {
  constexpr uint64_t kBelow64 =
      (uint64_t{1} << 0) | (uint64_t{1} << u'/') | (uint64_t{1} << u'<') | (uint64_t{1} << u'>');
  return unit < 64 ? ((kBelow64 >> unit) & 1) != 0 : unit == u'\\';
}

// The name of the record whose name field (|units| units) starts at |q|, as
// CreateNode makes it: *length receives the units up to its first NUL,
// backslash or slash. False when a '<' or '>' comes before that (the record
// cannot be read).
bool ScanName(const uint8_t* q, int units, int* length) {
  int n = 0;
  for (; n < units; ++n) {
    const CfChar unit = DecodeFixed16(q + 2 * n);
    if (!MayEndOrBeRefused(unit)) continue;
    if (CfIsNameEnd(unit)) break;
    if (unit == u'<' || unit == u'>') return false;
  }
  *length = n;
  return true;
}

// False when the name field (|units| units at |q|) holds no '<' or '>', so
// that the record's name cannot be refused; true when it may be. Cheaper
// than ScanName: most names hold neither, and the measuring pass needs no
// more than that to stop where the reader stops.
bool MayBeRefused(const uint8_t* q, int units) {
  int n = 0;
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
  // Four units at a time: '<' and '>' (0x3C, 0x3E) differ only in bit 1, so
  // a lane that is 0x3E once bit 1 is set is one of them.
  constexpr uint64_t kOnes = 0x0001000100010001ull;
  constexpr uint64_t kHighs = 0x8000800080008000ull;
  for (; n + 4 <= units; n += 4) {
    uint64_t w;
    std::memcpy(&w, q + 2 * n, sizeof(w));
    const uint64_t x = (w | (kOnes * 2)) ^ (kOnes * u'>');
    if (((x - kOnes) & ~x & kHighs) != 0) return true;
  }
#endif
  for (; n < units; ++n) {
    const CfChar unit = DecodeFixed16(q + 2 * n);
    if (unit == u'<' || unit == u'>') return true;
  }
  return false;
}

// Entries a reader reserves for |room| children: the capacity that as many
// insertions would reach, so that none of them needs storage.
size_t ReservedEntries(size_t room) {
  return static_cast<size_t>(ChildCapacityFor(static_cast<int64_t>(room)));
}

// Block room for the pieces of one record read from a file, whose name is
// |name_length| units once cut.
size_t CarvedRecordBytes(const RecordShape& r, int name_length) {
  size_t bytes =
      CfBlockCarver::CarvedSize(CfRecordBytes(name_length, r.value_length, r.count > 0), 4);
  if (r.count > 0) {
    bytes += CfBlockCarver::CarvedSize(sizeof(CfChildTable), kCfPieceAlign);
    if (r.child_room > 0) {
      bytes += CfBlockCarver::CarvedSize(ReservedEntries(r.child_room) * sizeof(CfChildEntry),
                                         kCfPieceAlign);
    }
  }
  return bytes;
}

// Block room for every record of the tree that starts at |p|, up to the
// first record that cannot be read, where the reader stops too: in pre-order
// the tree holds one record plus one for each child id met, so no walk is
// needed.
size_t MeasureTree(const uint8_t* p, const uint8_t* end) {
  uint64_t wanted = 1;
  size_t bytes = 0;
  RecordShape r;
  for (uint64_t read = 0; read < wanted && ReadShape(p, end, &r); ++read) {
    // A name without '<' or '>' is measured uncut (an upper bound by a few
    // bytes for a name that a NUL or separator cuts).
    int name_length = r.name_units;
    if (MayBeRefused(p + kCfRecordFixedSize, r.name_units) &&
        !ScanName(p + kCfRecordFixedSize, r.name_units, &name_length)) {
      break;
    }
    const size_t more = CarvedRecordBytes(r, name_length);
    if (more > SIZE_MAX - bytes) return SIZE_MAX;
    bytes += more;
    wanted += static_cast<uint64_t>(r.count);
    p += r.size;
  }
  return bytes;
}

// Copies |n| UTF-16 units stored little-endian at |src|.
void DecodeUnits(CfChar* dst, const uint8_t* src, int n) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
  std::memcpy(dst, src, static_cast<size_t>(n) * sizeof(CfChar));
#else
  for (int i = 0; i < n; ++i) dst[i] = DecodeFixed16(src + 2 * i);
#endif
}

// Reads the record at |p| into pieces carved by |carver| (see ParseNode for
// what cannot be read). The node is made as CreateNode makes it: the name
// ends at its first NUL, backslash or slash and may not hold '<' or '>'
// before that.
ReadResult ReadRecord(const uint8_t* p, const uint8_t* end, CfBlockCarver* carver, Record* r) {
  RecordShape shape;
  if (!ReadShape(p, end, &shape)) return ReadResult::kUnreadable;
  const uint8_t* q = p + kCfRecordFixedSize;
  int name_length = 0;
  if (!ScanName(q, shape.name_units, &name_length)) return ReadResult::kUnreadable;
  const uint8_t* value = q + 2 * shape.name_units;
  const bool branch = shape.count > 0;
  CfNode* node = static_cast<CfNode*>(
      carver->Carve(CfRecordBytes(name_length, shape.value_length, branch), 4));
  if (node == nullptr) return ReadResult::kNoMemory;
  CfChildTable* table = nullptr;
  if (branch) {
    table = static_cast<CfChildTable*>(carver->Carve(sizeof(CfChildTable), kCfPieceAlign));
    if (table == nullptr) {
      CfReleasePiece(node);
      return ReadResult::kNoMemory;
    }
    // The children arrive next: room for them in one step. Every child record
    // takes at least 8 bytes, which bounds what a damaged count can ask for;
    // ParseNode gives back what a branch that stops early does not use.
    CfChildEntry* entries = nullptr;
    const size_t room = shape.child_room > 0 ? ReservedEntries(shape.child_room) : 0;
    if (room > 0) {
      entries =
          static_cast<CfChildEntry*>(carver->Carve(room * sizeof(CfChildEntry), kCfPieceAlign));
      if (entries == nullptr) {
        CfReleasePiece(table);
        CfReleasePiece(node);
        return ReadResult::kNoMemory;
      }
    }
    InitChildTable(table, entries, static_cast<int32_t>(room));
  }
  CfInitRecord(node, shape.flags, name_length, shape.value_length, table);
  DecodeUnits(CfName(node), q, name_length);
  if (shape.value_length > 0) std::memcpy(CfValue(node), value, shape.value_length);
  r->node = node;
  r->ids = value + shape.value_length;
  r->count = shape.count;
  r->next = p + shape.size;
  return ReadResult::kRead;
}

struct ParseFrame {
  CfNode* node;
  const uint8_t* ids;
  int32_t count;
  int32_t next;
};

struct SerializeFrame {
  const CfNode* node;
  int32_t next;
};

}  // namespace

void DecodeHeaderFields(const uint8_t* header, CfHeaderFields* f) {
  f->magic = DecodeFixed32(header + kCfMagicOffset);
  f->version = DecodeFixed32(header + kCfVersionOffset);
  f->commit_mark = DecodeFixed32(header + kCfCommitOffset);
  f->header_size = DecodeFixed32(header + kCfHeaderSizeOffset);
  f->reserved16 = DecodeFixed32(header + kCfReserved16Offset);
  f->body_size = DecodeFixed32(header + kCfBodySizeOffset);
  f->checksum = DecodeFixed32(header + kCfChecksumOffset);
  f->reserved28 = DecodeFixed32(header + kCfReserved28Offset);
  f->commit_mark_copy = DecodeFixed32(header + kCfCommitCopyOffset);
}

uint32_t CfChecksum(const uint8_t* data, size_t n) {
  // Bytes are added in pairs into the 16-bit lanes of a machine word: each
  // word adds at most 2 * 255 to a lane, so a lane holds a block of 64 words
  // without overflow; then the lanes are added to the sum. A word is 64 bits
  // on 64-bit machines and 32 bits on 32-bit ones; which byte lands in which
  // lane does not matter to a sum. The fixed block length lets the compiler
  // vectorise the inner loop without a remainder.
  typedef size_t Word;
  constexpr Word kLowBytes = static_cast<Word>(0x00FF00FF00FF00FFull);
  constexpr size_t kWords = 64;
  static_assert(kWords * 2 * 255 <= 0xFFFF, "a block fits the 16-bit lanes");
  constexpr size_t kBlock = kWords * sizeof(Word);
  uint32_t sum = 0;
  size_t i = 0;
  for (; n - i >= kBlock; i += kBlock) {
    Word lanes = 0;
    for (size_t k = 0; k < kWords; ++k) {
      Word w;
      std::memcpy(&w, data + i + k * sizeof(Word), sizeof(Word));
      lanes += (w & kLowBytes) + ((w >> 8) & kLowBytes);
    }
    for (size_t lane = 0; lane < sizeof(Word) / 2; ++lane) {
      sum += static_cast<uint16_t>(lanes >> (16 * lane));
    }
  }
  for (; i < n; ++i) sum += data[i];
  return sum;
}

// Visits |node| and its descendants in pre-order, without recursion, until
// |visit| returns false. False when a visit failed or memory for the walk
// ran out.
template <typename Visit>
bool WalkPreOrder(const CfNode* node, Visit visit) {
  FrameStack<SerializeFrame> stack;
  const CfNode* cur = node;
  while (cur != nullptr) {
    if (!visit(cur)) return false;
    if (CfChildCount(cur) > 0 && !stack.Push({cur, 0})) return false;
    // Next in pre-order: the next unvisited child of the deepest open branch.
    cur = nullptr;
    while (!stack.Empty()) {
      SerializeFrame& f = stack.Top();
      if (f.next < CfChildCount(f.node)) {
        cur = CfChildren(f.node)->entries[f.next++].child;
        break;
      }
      stack.Pop();
    }
  }
  return true;
}

uint32_t SerializeNode(const CfNode* node, uint8_t** cursor, size_t room) {
  if (node == nullptr) return 0;
  uint8_t* out = cursor != nullptr ? *cursor : nullptr;
  uint64_t total = 0;
  const bool walked = WalkPreOrder(node, [&](const CfNode* cur) {
    const uint64_t size = RecordSize(cur);
    if (size > UINT32_MAX - total) return false;
    if (out != nullptr && total + size > room) return false;
    if (out != nullptr) WriteRecord(cur, out + total);
    total += size;
    return true;
  });
  if (!walked) return 0;
  if (out != nullptr) *cursor = out + total;
  return static_cast<uint32_t>(total);
}

bool CfSerializeBody(const CfNode* node, size_t size_hint, CfBody* out) {
  if (node == nullptr) return false;
  uint64_t capacity = size_hint < kCfHashBlock ? kCfHashBlock : size_hint;
  if (capacity > SIZE_MAX) capacity = SIZE_MAX;
  uint8_t* bytes = static_cast<uint8_t*>(std::malloc(static_cast<size_t>(capacity)));
  if (bytes == nullptr) return false;
  uint64_t total = 0;
  uint64_t summed = 0;  // bytes already in |sum| and |hash|: whole blocks
  uint32_t sum = 0;
  uint64_t hash = 0;
  const bool walked = WalkPreOrder(node, [&](const CfNode* cur) {
    const uint64_t size = RecordSize(cur);
    if (size > UINT32_MAX - total) return false;
    if (total + size > capacity) {
      uint64_t grown = capacity * 2 > total + size ? capacity * 2 : total + size;
      if (grown > uint64_t{UINT32_MAX}) grown = UINT32_MAX;
      if (grown > SIZE_MAX) return false;
      void* p = std::realloc(bytes, static_cast<size_t>(grown));
      if (p == nullptr) return false;
      bytes = static_cast<uint8_t*>(p);
      capacity = grown;
    }
    WriteRecord(cur, bytes + total);
    total += size;
    const uint64_t whole = total - total % kCfHashBlock;
    if (whole > summed) {
      const size_t n = static_cast<size_t>(whole - summed);
      sum += CfChecksum(bytes + summed, n);
      hash = CfHash64Blocks(bytes + summed, n, hash);
      summed = whole;
    }
    return true;
  });
  if (!walked) {
    std::free(bytes);
    return false;
  }
  const size_t rest = static_cast<size_t>(total - summed);
  out->bytes = bytes;
  out->size = static_cast<uint32_t>(total);
  out->checksum = sum + CfChecksum(bytes + summed, rest);
  out->hash = CfHash64Blocks(bytes + summed, rest, hash);
  return true;
}

CfNode* ParseNode(const uint8_t** cursor, const uint8_t* end, CfParseStats* stats) {
  CfParseStats local;
  if (stats == nullptr) stats = &local;
  stats->nodes = 0;
  stats->complete = false;
  stats->out_of_memory = false;

  // One block for the whole tree; when that much cannot be had at once, the
  // carver takes small blocks as it goes.
  CfBlockCarver carver;
  carver.Reserve(MeasureTree(*cursor, end));
  Record r;
  const ReadResult first = ReadRecord(*cursor, end, &carver, &r);
  if (first != ReadResult::kRead) {
    stats->out_of_memory = first == ReadResult::kNoMemory;
    return nullptr;
  }
  CfNode* root = r.node;
  const uint8_t* p = r.next;
  stats->nodes = 1;
  FrameStack<ParseFrame> stack;
  bool complete = r.count == 0 || stack.Push({root, r.ids, r.count, 0});
  if (!complete) {
    stats->out_of_memory = true;
    TrimChildren(CfChildren(root));
  }
  while (complete && !stack.Empty()) {
    ParseFrame& f = stack.Top();
    if (f.next == f.count) {
      stack.Pop();
      continue;
    }
    Record child;
    const ReadResult read = ReadRecord(p, end, &carver, &child);
    if (read != ReadResult::kRead) {
      stats->out_of_memory = read == ReadResult::kNoMemory;
      complete = false;  // every open ancestor stops at this record too
      break;
    }
    const uint32_t id = DecodeFixed32(f.ids + 4 * static_cast<size_t>(f.next));
    // The file's order is kept (usually into the room reserved above); one id
    // below the one before it marks the table not sorted.
    if (AppendChild(CfChildren(f.node), {id, child.node}) < 0) {
      FreeNodeRecord(child.node);
      stats->out_of_memory = true;
      complete = false;
      break;
    }
    ++f.next;
    ++stats->nodes;
    p = child.next;
    if (child.count > 0 && !stack.Push({child.node, child.ids, child.count, 0})) {
      TrimChildren(CfChildren(child.node));
      stats->out_of_memory = true;
      complete = false;
    }
  }
  // Branches left open by an early stop keep only the storage that their
  // entries would have grown to one at a time.
  for (; !stack.Empty(); stack.Pop()) TrimChildren(CfChildren(stack.Top().node));
  stats->complete = complete;
  *cursor = p;
  return root;
}

}  // namespace orvo::store
