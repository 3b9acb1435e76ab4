// Side files as a save in flight leaves them, for tests that put hostile or
// hand-made content where the store would look for a save's image.
#ifndef ORVO_TESTS_STORE_SIDE_FILE_UTIL_H_
#define ORVO_TESTS_STORE_SIDE_FILE_UTIL_H_

#include <cstdint>
#include <filesystem>
#include <string>

#include "store/coding.h"
#include "store/edit_script.h"
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

// How a side file is laid out: as this store writes it (the base bytes and
// a script of literal bytes that makes the image of them), or as earlier
// versions wrote it (the whole image, sealed one way or the other).
enum class SideLayout { kScripted, kWholeImage, kEarliest };

// The side file of a save in flight of |image| (a header and what follows
// it, here the save's final header; cut after the body its header claims),
// begun when the file held |base|: the trailer with the first header that
// save writes, the base bytes it overwrites and what it writes there.
inline std::string InFlightSideFile(const std::string& image, const std::string& base,
                                    SideLayout layout = SideLayout::kScripted) {
  std::string whole = image;
  if (whole.size() < kCfHeaderSize) whole.resize(kCfHeaderSize);
  const uint32_t body = DecodeFixed32(reinterpret_cast<const uint8_t*>(whole.data()) + 20);
  if (whole.size() > kCfHeaderSize + uint64_t{body}) whole.resize(kCfHeaderSize + body);
  const size_t n = whole.size();
  const bool scripted = layout == SideLayout::kScripted;
  const size_t fixed = scripted ? kCfSideTrailerFixedSize : kCfSideWholeImageTrailerSize;
  std::string trailer(fixed, '\0');
  auto* t = reinterpret_cast<uint8_t*>(&trailer[0]);
  EncodeFixed32(t, scripted                            ? kCfSideTrailerTag
                   : layout == SideLayout::kWholeImage ? kCfSideTrailerTagWholeImage
                                                       : kCfSideTrailerTagEarlier);
  EncodeFixed32(t + kCfSideStateOffset, kCfSideInFlight);
  // The first header a save writes: the image's with the current version and
  // the commit marks of a save under way.
  for (size_t i = 0; i < kCfHeaderImageSize; ++i) {
    t[kCfSideFirstHeaderOffset + i] = static_cast<uint8_t>(whole[i]);
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
  while (from < both && base[from] == whole[from]) ++from;
  from = from < both ? from - from % kCfSectorSize : both;
  if (from < kCfHeaderSize) from = kCfHeaderSize;
  const std::string kept = both > from ? base.substr(from, both - from) : std::string();
  EncodeFixed64(t + kCfSideBaseSizeOffset, base.size());
  EncodeFixed64(t + kCfSideBaseFromOffset, from);
  EncodeFixed64(t + kCfSideBaseLengthOffset, kept.size());
  const auto* bytes = reinterpret_cast<const uint8_t*>(whole.data());
  // The script: one step, every byte of the image from |from| on literal.
  std::string script(kCfEditStepSize, '\0');
  EncodeFixed32(reinterpret_cast<uint8_t*>(&script[0]), static_cast<uint32_t>(n - from));
  script += whole.substr(from);
  uint64_t h = 0;
  if (scripted) {
    EncodeFixed64(t + kCfSideBodyHashOffset,
                  CfHash64Blocks(bytes + kCfHeaderSize, n - kCfHeaderSize, 0));
    EncodeFixed64(t + kCfSideScriptLengthOffset, script.size());
    h = CfHash64(bytes, kCfHeaderSize, 0);
  } else if (layout == SideLayout::kEarliest) {
    h = CfHash64(bytes, kCfHeaderSize, 0);
    h = CfHash64(bytes + kCfHeaderSize, n - kCfHeaderSize, h);
  } else {
    h = CfHash64Blocks(bytes + kCfHeaderSize, n - kCfHeaderSize, 0);
    h = CfHash64(bytes, kCfHeaderSize, h);
  }
  h = CfHash64(t + kCfSideFirstHeaderOffset, fixed - kCfSideFirstHeaderOffset, h);
  h = CfHash64(reinterpret_cast<const uint8_t*>(kept.data()), kept.size(), h);
  if (scripted) h = CfHash64(reinterpret_cast<const uint8_t*>(script.data()), script.size(), h);
  uint8_t seal[kCfSideSealSize];
  EncodeFixed64(seal, h);
  std::string side =
      scripted ? whole.substr(0, kCfHeaderSize) + trailer + kept + script : whole + trailer + kept;
  side.append(reinterpret_cast<const char*>(seal), sizeof(seal));
  return side;
}

// A side file of the current layout, taken apart (its seal is not tested).
struct SideFileParts {
  uint32_t state = 0;
  std::string final_header;  // 512 bytes
  std::string first_header;  // 512 bytes: its first 32 from the trailer, zeros after them
  std::string base_header;   // 512 bytes
  uint64_t base_size = 0;
  uint64_t from = 0;  // where the kept base bytes start in the file
  std::string kept;
  std::string script;
  uint64_t body_hash = 0;
};

// False when |side| is not laid out as this store writes side files.
inline bool ParseSideFile(const std::string& side, SideFileParts* parts) {
  const size_t fixed = kCfHeaderSize + kCfSideTrailerFixedSize;
  if (side.size() < fixed + kCfSideSealSize) return false;
  const auto* t = reinterpret_cast<const uint8_t*>(side.data()) + kCfHeaderSize;
  if (DecodeFixed32(t) != kCfSideTrailerTag) return false;
  const uint64_t length = orvo::store::DecodeFixed64(t + kCfSideBaseLengthOffset);
  const uint64_t script = orvo::store::DecodeFixed64(t + kCfSideScriptLengthOffset);
  if (length > side.size() - fixed || script > side.size() - fixed - length) return false;
  parts->state = DecodeFixed32(t + kCfSideStateOffset);
  parts->final_header = side.substr(0, kCfHeaderSize);
  parts->first_header = std::string(kCfHeaderSize, '\0');
  parts->first_header.replace(0, kCfHeaderImageSize, side, kCfHeaderSize + kCfSideFirstHeaderOffset,
                              kCfHeaderImageSize);
  parts->base_header = side.substr(kCfHeaderSize + kCfSideBaseHeaderOffset, kCfHeaderSize);
  parts->base_size = orvo::store::DecodeFixed64(t + kCfSideBaseSizeOffset);
  parts->from = orvo::store::DecodeFixed64(t + kCfSideBaseFromOffset);
  parts->kept = side.substr(fixed, length);
  parts->script = side.substr(fixed + length, script);
  parts->body_hash = orvo::store::DecodeFixed64(t + kCfSideBodyHashOffset);
  return true;
}

// The image |parts| make beside |f|: the final header, f's bytes up to the
// kept ones' start, then the script's steps over the kept bytes. Empty when
// a step does not fit, f is too short, or the body's hash is not the one
// recorded (f's start is not the save's base).
inline std::string SideFileImage(const SideFileParts& parts, const std::string& f) {
  const uint64_t n =
      kCfHeaderSize +
      uint64_t{DecodeFixed32(reinterpret_cast<const uint8_t*>(parts.final_header.data()) + 20)};
  if (parts.from < kCfHeaderSize || parts.from > n || f.size() < parts.from) return "";
  std::string image = parts.final_header + f.substr(kCfHeaderSize, parts.from - kCfHeaderSize);
  const auto* s = reinterpret_cast<const uint8_t*>(parts.script.data());
  for (size_t at = 0; at < parts.script.size();) {
    if (parts.script.size() - at < kCfEditStepSize) return "";
    const uint32_t literal = DecodeFixed32(s + at);
    const uint32_t copy = DecodeFixed32(s + at + 4);
    const uint64_t source = orvo::store::DecodeFixed64(s + at + 8);
    at += kCfEditStepSize;
    if (literal > parts.script.size() - at || source > parts.kept.size() ||
        copy > parts.kept.size() - source) {
      return "";
    }
    image.append(parts.script, at, literal);
    image.append(parts.kept, source, copy);
    at += literal;
  }
  if (image.size() != n) return "";
  const auto* body = reinterpret_cast<const uint8_t*>(image.data()) + kCfHeaderSize;
  if (CfHash64Blocks(body, n - kCfHeaderSize, 0) != parts.body_hash) return "";
  return image;
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
