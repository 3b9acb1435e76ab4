// Side files as a save in flight leaves them, for tests that put hostile or
// hand-made content where the store would look for a save's complete copy.
#ifndef ORVO_TESTS_STORE_SIDE_FILE_UTIL_H_
#define ORVO_TESTS_STORE_SIDE_FILE_UTIL_H_

#include <cstdint>
#include <filesystem>
#include <string>

#include "store/coding.h"
#include "store/format.h"
#include "store/hash64.h"
#include "store/save_protocol.h"
#include "tests/testing/temp_dir.h"

using orvo::store::CfHash64;
using orvo::store::CfHash64Blocks;
using orvo::store::DecodeFixed32;
using orvo::store::EncodeFixed32;
using orvo::store::EncodeFixed64;

namespace orvo::testing {

// The side file of a save in flight of |image| (a header and what follows
// it, here the save's final header; cut after the body its header claims),
// begun when the file held |base|: the image, then the trailer with the
// first header that save writes and the base bytes it overwrites.
// |earlier_layout|: sealed as an earlier version of the store sealed it.
inline std::string InFlightSideFile(const std::string& image, const std::string& base,
                                    bool earlier_layout = false) {
  std::string side = image;
  if (side.size() < kCfHeaderSize) side.resize(kCfHeaderSize);
  const uint32_t body = DecodeFixed32(reinterpret_cast<const uint8_t*>(side.data()) + 20);
  if (side.size() > kCfHeaderSize + uint64_t{body}) side.resize(kCfHeaderSize + body);
  const size_t n = side.size();
  uint8_t t[kCfSideTrailerFixedSize] = {};
  EncodeFixed32(t, earlier_layout ? kCfSideTrailerTagEarlier : kCfSideTrailerTag);
  EncodeFixed32(t + kCfSideStateOffset, kCfSideInFlight);
  // The first header a save writes: the image's with the current version and
  // the commit marks of a save under way.
  for (size_t i = 0; i < kCfHeaderImageSize; ++i) {
    t[kCfSideFirstHeaderOffset + i] = static_cast<uint8_t>(side[i]);
  }
  EncodeFixed32(t + kCfSideFirstHeaderOffset + kCfVersionOffset, kCfVersion);
  EncodeFixed32(t + kCfSideFirstHeaderOffset + kCfCommitOffset, kCfCommitWriting);
  for (size_t i = 0; i < kCfHeaderSize && i < base.size(); ++i) {
    t[kCfSideBaseHeaderOffset + i] = static_cast<uint8_t>(base[i]);
  }
  // The base bytes kept: from the first body sector that differs to the end
  // of what both hold.
  const size_t both = base.size() < n ? base.size() : n;
  size_t from = kCfHeaderSize;
  while (from < both && base[from] == side[from]) ++from;
  from = from < both ? from - from % kCfSectorSize : both;
  if (from < kCfHeaderSize) from = kCfHeaderSize;
  const std::string kept = both > from ? base.substr(from, both - from) : std::string();
  EncodeFixed64(t + kCfSideBaseSizeOffset, base.size());
  EncodeFixed64(t + kCfSideBaseFromOffset, from);
  EncodeFixed64(t + kCfSideBaseLengthOffset, kept.size());
  const auto* bytes = reinterpret_cast<const uint8_t*>(side.data());
  uint64_t h = 0;
  if (earlier_layout) {
    h = CfHash64(bytes, kCfHeaderSize, 0);
    h = CfHash64(bytes + kCfHeaderSize, n - kCfHeaderSize, h);
  } else {
    h = CfHash64Blocks(bytes + kCfHeaderSize, n - kCfHeaderSize, 0);
    h = CfHash64(bytes, kCfHeaderSize, h);
  }
  h = CfHash64(t + kCfSideFirstHeaderOffset, kCfSideTrailerFixedSize - kCfSideFirstHeaderOffset, h);
  h = CfHash64(reinterpret_cast<const uint8_t*>(kept.data()), kept.size(), h);
  uint8_t seal[kCfSideSealSize];
  EncodeFixed64(seal, h);
  side.append(reinterpret_cast<const char*>(t), sizeof(t));
  side += kept;
  side.append(reinterpret_cast<const char*>(seal), sizeof(seal));
  return side;
}

// The first header a save of |image| writes to the file: its first 32 bytes
// with the current version and commit marks 1 and 0, zeros after them.
inline std::string FirstHeaderOf(const std::string& image) {
  std::string h(kCfHeaderSize, '\0');
  h.replace(0, image.size() < kCfHeaderImageSize ? image.size() : kCfHeaderImageSize, image, 0,
            kCfHeaderImageSize);
  EncodeFixed32(reinterpret_cast<uint8_t*>(&h[kCfVersionOffset]), kCfVersion);
  EncodeFixed32(reinterpret_cast<uint8_t*>(&h[kCfCommitOffset]), kCfCommitWriting);
  return h;
}

// A base for a save of |whole| that F could have held before it: the same
// bytes but for the sector holding |at|, and a header of its own (another
// checksum), so that |whole| with that sector left as the base's is what a
// power loss mid-save leaves.
inline std::string BaseBefore(const std::string& whole, size_t at) {
  std::string base = whole;
  base[at] ^= 0x40;
  base[24] ^= 0x01;  // its checksum: another header
  return base;
}

// Leaves |file| as a crash mid-save leaves it: the sector holding
// |damage_at| still the base's (BaseBefore), the rest the save's whole
// image, and beside it the side file of the save in flight. False when the
// files cannot be written.
inline bool CatchMidSave(const std::filesystem::path& file, size_t damage_at) {
  const std::string whole = ReadWholeFile(file);
  if (damage_at >= whole.size() || damage_at < kCfHeaderSize) return false;
  std::string caught = whole;
  caught[damage_at] ^= 0x40;
  std::filesystem::path side = file;
  side += ".new";
  return WriteWholeFile(side, InFlightSideFile(whole, BaseBefore(whole, damage_at))) &&
         WriteWholeFile(file, caught);
}

}  // namespace orvo::testing

#endif  // ORVO_TESTS_STORE_SIDE_FILE_UTIL_H_
