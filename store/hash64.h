// A 64-bit hash for the store's own companion files, where the format's
// byte sum is too weak: a torn write that mixes old and new sectors keeps
// the sum often enough to matter, never (in practice) this hash. Fast, not
// meant to resist anyone choosing the bytes.
#ifndef ORVO_STORE_HASH64_H_
#define ORVO_STORE_HASH64_H_

#include <cstddef>
#include <cstdint>

#include "store/coding.h"

namespace orvo::store {

// Continues |h| over the |n| bytes at |data|; chain calls to cover several
// pieces. Every byte and its position count.
inline uint64_t CfHash64(const uint8_t* data, size_t n, uint64_t h) {
  constexpr uint64_t kMul = 0x9E3779B97F4A7C15u;
  constexpr uint64_t kMix = 0xFF51AFD7ED558CCDu;
  auto step = [](uint64_t acc, uint64_t w) {
    acc ^= w * kMix;
    acc = (acc << 29) | (acc >> 35);
    return acc * kMul;
  };
  // Four lanes over 32-byte blocks, so that the multiplications of one
  // block do not wait on each other; then the rest word by word.
  uint64_t lane[4] = {h ^ n, h + kMul, h - kMix, ~h};
  while (n >= 32) {
    for (int i = 0; i < 4; ++i) lane[i] = step(lane[i], DecodeFixed64(data + 8 * i));
    data += 32;
    n -= 32;
  }
  h = step(step(step(step(lane[0], lane[1]), lane[2]), lane[3]), n);
  while (n >= 8) {
    h = step(h, DecodeFixed64(data));
    data += 8;
    n -= 8;
  }
  uint64_t tail = 0;
  for (size_t i = n; i > 0; --i) tail = (tail << 8) | data[i - 1];
  h = step(h, tail + 1);
  h ^= h >> 33;
  h *= 0xC4CEB9FE1A85EC53u;
  h ^= h >> 29;
  return h;
}

}  // namespace orvo::store

// The block length of CfHash64Blocks.
constexpr size_t kCfHashBlock = 4096;

namespace orvo::store {

// CfHash64 chained over the kCfHashBlock-byte blocks of the |n| bytes at
// |data|, then over what is left (when anything is). Calls over pieces
// whose lengths are multiples of kCfHashBlock, chained and followed by one
// call over the rest, give the hash of the whole: a writer hashes a body
// block by block while it makes it, each block still in the cache.
inline uint64_t CfHash64Blocks(const uint8_t* data, size_t n, uint64_t h) {
  for (; n >= kCfHashBlock; data += kCfHashBlock, n -= kCfHashBlock) {
    h = CfHash64(data, kCfHashBlock, h);
  }
  return n > 0 ? CfHash64(data, n, h) : h;
}

}  // namespace orvo::store

#endif  // ORVO_STORE_HASH64_H_
