// How a save's image is made of the bytes of the file it overwrites: literal
// bytes and copies of the old bytes, so that a side file can hold one copy
// of what a save changes (the old bytes) and still make the new ones.
//
// A script is a sequence of steps, each encoded as
//   0   literal length a (32 bits)
//   4   copy length c (32 bits)
//   8   copy source s: an offset into the old bytes (64 bits)
//   16  the a literal bytes
// and each step appends its literal bytes, then old bytes [s, s + c).
#ifndef ORVO_STORE_EDIT_SCRIPT_H_
#define ORVO_STORE_EDIT_SCRIPT_H_

#include <cstddef>
#include <cstdint>

constexpr size_t kCfEditStepSize = 16;
// A script has at most this many steps; what a search for more would cover
// is taken as literal bytes in the last one.
constexpr size_t kCfEditMaxSteps = 256;

struct CfEditStep {
  uint32_t literal = 0;  // literal bytes, taken from the new bytes in order
  uint32_t copy = 0;
  uint64_t source = 0;
};

namespace orvo::store {

// Finds how |now| (|n| bytes) is made of |old| (|m| bytes): fills |steps|
// (room for kCfEditMaxSteps) and returns how many it used. Applying them to
// |old| gives |now| exactly (every copy is compared); a change that moves
// bytes by up to a few KiB (an insertion, a removal, a replacement) costs
// one step and its new bytes. The search does work proportional to n + m;
// where it finds nothing the rest is literal. REQUIRES: n < 2^32.
size_t CfFindEdits(const uint8_t* old, uint64_t m, const uint8_t* now, uint64_t n,
                   CfEditStep* steps);

// The encoded size of |count| steps.
uint64_t CfEditScriptSize(const CfEditStep* steps, size_t count);

// Encodes |count| steps found for |now| into |out| (CfEditScriptSize bytes).
void CfEncodeEdits(const CfEditStep* steps, size_t count, const uint8_t* now, uint8_t* out);

// How many bytes the script |script| (|length| bytes) makes of |m| old
// bytes, in *total; false when a step runs past the script or the old bytes
// (a check that allocates nothing, before a buffer is taken for them).
bool CfEditsLength(const uint8_t* script, uint64_t length, uint64_t m, uint64_t* total);

// Applies the script |script| (|length| bytes) to |old| (|m| bytes), writing
// exactly |n| bytes to |out|. False when the script is malformed: a step
// past its end or past the old bytes, or another total than |n|.
bool CfApplyEdits(const uint8_t* script, uint64_t length, const uint8_t* old, uint64_t m,
                  uint8_t* out, uint64_t n);

}  // namespace orvo::store

#endif  // ORVO_STORE_EDIT_SCRIPT_H_
