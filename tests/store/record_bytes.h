// Files written byte by byte, as another program may write them: records
// with any counts, ids in any order, and a header over any body.
#ifndef ORVO_TESTS_STORE_RECORD_BYTES_H_
#define ORVO_TESTS_STORE_RECORD_BYTES_H_

#include <cstdint>
#include <string>
#include <vector>

#include "store/coding.h"
#include "store/format.h"

using orvo::store::CfChecksum;
using orvo::store::EncodeFixed16;
using orvo::store::EncodeFixed32;

namespace orvo::testing {

constexpr uint8_t kBranchFlag = 0x04;

// One record as the format lays it out; |name_units| may claim more or
// fewer units than |name| holds, |count| anything.
inline std::string Record(const std::u16string& name, uint8_t flags, const std::string& value,
                          int32_t count, const std::vector<uint32_t>& ids, int name_units = -1,
                          int value_bytes = -1) {
  std::string r(8, '\0');
  uint8_t* p = reinterpret_cast<uint8_t*>(&r[0]);
  p[0] = static_cast<uint8_t>(name_units >= 0 ? name_units : static_cast<int>(name.size()));
  p[1] = flags;
  EncodeFixed16(p + 2, static_cast<uint16_t>(value_bytes >= 0 ? value_bytes : value.size()));
  EncodeFixed32(p + 4, static_cast<uint32_t>(count));
  for (char16_t c : name) {
    r.push_back(static_cast<char>(c & 0xFF));
    r.push_back(static_cast<char>(c >> 8));
  }
  r += value;
  for (uint32_t id : ids) {
    uint8_t b[4];
    EncodeFixed32(b, id);
    r.append(reinterpret_cast<char*>(b), 4);
  }
  return r;
}

inline std::string Leaf(const std::u16string& name, const std::string& value = std::string()) {
  return Record(name, 0, value, 0, {});
}

// A whole file: a committed header of the current version over |body|.
inline std::string File(const std::string& body, int64_t body_size = -1) {
  uint8_t h[kCfHeaderSize] = {};
  EncodeFixed32(h + kCfMagicOffset, kCfMagic);
  EncodeFixed32(h + kCfVersionOffset, kCfVersion);
  EncodeFixed32(h + kCfCommitOffset, kCfCommitDone);
  EncodeFixed32(h + kCfHeaderSizeOffset, kCfHeaderSize);
  EncodeFixed32(h + kCfBodySizeOffset,
                static_cast<uint32_t>(body_size >= 0 ? body_size : int64_t(body.size())));
  EncodeFixed32(h + kCfChecksumOffset,
                CfChecksum(reinterpret_cast<const uint8_t*>(body.data()), body.size()));
  EncodeFixed32(h + kCfCommitCopyOffset, kCfCommitDone);
  return std::string(reinterpret_cast<char*>(h), sizeof(h)) + body;
}

}  // namespace orvo::testing

#endif  // ORVO_TESTS_STORE_RECORD_BYTES_H_
