// Fixed-width little-endian encoding, byte by byte, independent of the
// machine's byte order and of alignment.
#ifndef ORVO_STORE_CODING_H_
#define ORVO_STORE_CODING_H_

#include <cstdint>

namespace orvo::store {

inline void EncodeFixed16(uint8_t* dst, uint16_t v) {
  dst[0] = static_cast<uint8_t>(v);
  dst[1] = static_cast<uint8_t>(v >> 8);
}

inline void EncodeFixed32(uint8_t* dst, uint32_t v) {
  dst[0] = static_cast<uint8_t>(v);
  dst[1] = static_cast<uint8_t>(v >> 8);
  dst[2] = static_cast<uint8_t>(v >> 16);
  dst[3] = static_cast<uint8_t>(v >> 24);
}

inline uint16_t DecodeFixed16(const uint8_t* src) {
  return static_cast<uint16_t>(src[0] | (src[1] << 8));
}

inline uint32_t DecodeFixed32(const uint8_t* src) {
  return static_cast<uint32_t>(src[0]) | (static_cast<uint32_t>(src[1]) << 8) |
         (static_cast<uint32_t>(src[2]) << 16) | (static_cast<uint32_t>(src[3]) << 24);
}

inline void EncodeFixed64(uint8_t* dst, uint64_t v) {
  EncodeFixed32(dst, static_cast<uint32_t>(v));
  EncodeFixed32(dst + 4, static_cast<uint32_t>(v >> 32));
}

inline uint64_t DecodeFixed64(const uint8_t* src) {
  return DecodeFixed32(src) | (static_cast<uint64_t>(DecodeFixed32(src + 4)) << 32);
}

}  // namespace orvo::store

#endif  // ORVO_STORE_CODING_H_
