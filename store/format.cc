#include "store/format.h"

#include <cstring>

#include "store/child_table.h"
#include "store/coding.h"
#include "store/frame_stack.h"
#include "store/name.h"

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

// Whether the first |n| units of |name|, up to a name end, hold a unit that
// names refuse.
bool HasRefusedUnit(const CfChar* name, int n) {
  for (int i = 0; i < n && !CfIsNameEnd(name[i]); ++i) {
    if (name[i] == u'<' || name[i] == u'>') return true;
  }
  return false;
}

// Reads the record at |p| (see ParseNode for what cannot be read).
ReadResult ReadRecord(const uint8_t* p, const uint8_t* end, Record* r) {
  if (p >= end || static_cast<size_t>(end - p) < kCfRecordFixedSize) {
    return ReadResult::kUnreadable;
  }
  const size_t avail = static_cast<size_t>(end - p);
  const int n = p[0];
  const uint8_t flags = p[1];
  const uint16_t v = DecodeFixed16(p + 2);
  int32_t k = static_cast<int32_t>(DecodeFixed32(p + 4));
  if ((flags & kCfBranch) == 0) {
    k = 0;  // a leaf record's count field carries nothing
  } else if (k < 0) {
    return ReadResult::kUnreadable;
  }
  const uint64_t size = kCfRecordFixedSize + 2u * n + v + 4u * static_cast<uint64_t>(k);
  if (size > avail) return ReadResult::kUnreadable;

  CfChar name[kCfMaxNameLength];
  const uint8_t* q = p + kCfRecordFixedSize;
  for (int i = 0; i < n; ++i, q += 2) name[i] = DecodeFixed16(q);
  if (HasRefusedUnit(name, n)) return ReadResult::kUnreadable;
  // Every other refusal is ruled out: the name and value fit their fields.
  CfNode* node = CreateNode(name, n, flags, q, v, k);
  if (node == nullptr) return ReadResult::kNoMemory;
  // The children arrive next: room for them in one step instead of a
  // reallocation every 16 (each one copying the table so far). Every child
  // record takes at least 8 bytes, which bounds what a damaged count can ask
  // for; ParseNode gives back what a branch that stops early does not use.
  if (k > 0) {
    const size_t room = (avail - static_cast<size_t>(size)) / kCfRecordFixedSize;
    ReserveChildren(CfChildren(node),
                    static_cast<int32_t>(room < static_cast<size_t>(k) ? room : k));
  }
  r->node = node;
  r->ids = q + v;
  r->count = k;
  r->next = p + size;
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

uint32_t SerializeNode(const CfNode* node, uint8_t** cursor, size_t room) {
  if (node == nullptr) return 0;
  uint8_t* out = cursor != nullptr ? *cursor : nullptr;
  uint64_t total = 0;
  FrameStack<SerializeFrame> stack;
  const CfNode* cur = node;
  while (cur != nullptr) {
    const uint64_t size = RecordSize(cur);
    if (size > UINT32_MAX - total) return 0;
    if (out != nullptr && total + size > room) return 0;
    if (out != nullptr) WriteRecord(cur, out + total);
    total += size;
    if (CfChildCount(cur) > 0 && !stack.Push({cur, 0})) return 0;
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
  if (out != nullptr) *cursor = out + total;
  return static_cast<uint32_t>(total);
}

CfNode* ParseNode(const uint8_t** cursor, const uint8_t* end, CfParseStats* stats) {
  CfParseStats local;
  if (stats == nullptr) stats = &local;
  stats->nodes = 0;
  stats->complete = false;
  stats->out_of_memory = false;

  Record r;
  const ReadResult first = ReadRecord(*cursor, end, &r);
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
    const ReadResult read = ReadRecord(p, end, &child);
    if (read != ReadResult::kRead) {
      stats->out_of_memory = read == ReadResult::kNoMemory;
      complete = false;  // every open ancestor stops at this record too
      break;
    }
    const uint32_t id = DecodeFixed32(f.ids + 4 * static_cast<size_t>(f.next));
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
