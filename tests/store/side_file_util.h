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

namespace orvo::testing {

// |image| (a header and what follows it, here the save's final header)
// followed, right after the body its
// header claims, by the trailer of a save in flight that began when the file
// held |main| (only its first 512 bytes count).
inline std::string InFlightSideFile(const std::string& image, const std::string& main) {
  std::string side = image;
  if (side.size() >= kCfHeaderSize) {
    const uint32_t body = DecodeFixed32(reinterpret_cast<const uint8_t*>(side.data()) + 20);
    if (side.size() > kCfHeaderSize + uint64_t{body}) side.resize(kCfHeaderSize + body);
  }
  uint8_t t[kCfSideTrailerSize] = {};
  EncodeFixed32(t, kCfSideTrailerTag);
  EncodeFixed32(t + kCfSideStateOffset, kCfSideInFlight);
  // The first header a save writes: the image's with the current version and
  // the commit mark of a save under way.
  for (size_t i = 0; i < kCfHeaderImageSize && i < image.size(); ++i) {
    t[kCfSideFirstHeaderOffset + i] = static_cast<uint8_t>(image[i]);
  }
  EncodeFixed32(t + kCfSideFirstHeaderOffset + kCfVersionOffset, kCfVersion);
  EncodeFixed32(t + kCfSideFirstHeaderOffset + kCfCommitOffset, kCfCommitWriting);
  for (size_t i = 0; i < kCfHeaderSize && i < main.size(); ++i) {
    t[kCfSideBaseHeaderOffset + i] = static_cast<uint8_t>(main[i]);
  }
  uint64_t h = CfHash64(reinterpret_cast<const uint8_t*>(side.data()),
                        side.size() < kCfHeaderSize ? side.size() : kCfHeaderSize, 0);
  if (side.size() > kCfHeaderSize) {
    h = CfHash64(reinterpret_cast<const uint8_t*>(side.data()) + kCfHeaderSize,
                 side.size() - kCfHeaderSize, h);
  } else {
    h = CfHash64(nullptr, 0, h);
  }
  h = CfHash64(t + kCfSideFirstHeaderOffset,
               kCfSideTrailerChecksumOffset - kCfSideFirstHeaderOffset, h);
  EncodeFixed64(t + kCfSideTrailerChecksumOffset, h);
  side.append(reinterpret_cast<const char*>(t), sizeof(t));
  return side;
}

// Leaves |file| as a crash mid-save leaves it: the byte at |damage_at|
// changed, and beside it the side file of the save in flight holding the
// whole image. False when the files cannot be written.
inline bool CatchMidSave(const std::filesystem::path& file, size_t damage_at) {
  const std::string whole = ReadWholeFile(file);
  if (damage_at >= whole.size()) return false;
  std::string caught = whole;
  caught[damage_at] ^= 0x40;
  std::filesystem::path side = file;
  side += ".new";
  return WriteWholeFile(side, InFlightSideFile(whole, caught)) && WriteWholeFile(file, caught);
}

}  // namespace orvo::testing

#endif  // ORVO_TESTS_STORE_SIDE_FILE_UTIL_H_
