#include "store/edit_script.h"

#include <cstring>

#include "store/coding.h"

namespace orvo::store {

namespace {

constexpr uint64_t kMinCopy = 24;   // a shorter match is not worth a step
constexpr uint64_t kAnchor = 16;    // bytes that must match to take up copying again
constexpr uint64_t kReach = 4096;   // how far bytes may have moved
constexpr uint64_t kStride = 16;    // anchors are tried this far apart
constexpr uint64_t kInPlace = 256;  // how far a change in place is looked past

// The length of the run of equal bytes at |a| and |b|, at most |n|.
uint64_t CommonRun(const uint8_t* a, const uint8_t* b, uint64_t n) {
  uint64_t k = 0;
  while (k + 64 <= n && std::memcmp(a + k, b + k, 64) == 0) k += 64;
  while (k < n && a[k] == b[k]) ++k;
  return k;
}

// Where the kAnchor bytes at |needle| first are in the |len| bytes at
// |hay|, or -1. Adds what it looked at to *work.
int64_t FindAnchor(const uint8_t* hay, uint64_t len, const uint8_t* needle, uint64_t* work) {
  if (len < kAnchor) return -1;
  const uint8_t* p = hay;
  const uint8_t* const end = hay + (len - kAnchor + 1);
  while (p < end) {
    const auto* hit = static_cast<const uint8_t*>(std::memchr(p, needle[0], end - p));
    if (hit == nullptr) {
      *work += end - p;
      return -1;
    }
    *work += (hit - p) + 8;
    if (std::memcmp(hit, needle, kAnchor) == 0) return hit - hay;
    p = hit + 1;
  }
  return -1;
}

// Finds the nearest place after a change at |i| in |now| and |j| in |old|
// where kAnchor bytes match again: old bytes found later in |now| (bytes
// inserted or replaced), or new bytes found later in |old| (bytes removed).
// False when none is within reach or the work would pass |budget|.
// |run|: how many bytes still match at i and j (fewer than kMinCopy).
bool Resync(const uint8_t* old, uint64_t m, const uint8_t* now, uint64_t n, uint64_t i, uint64_t j,
            uint64_t run, uint64_t budget, uint64_t* work, uint64_t* p, uint64_t* q) {
  // Bytes changed in place (a count, a value of the same length): the same
  // distance on in both.
  for (uint64_t k = run + 1; k <= kInPlace && i + k + kAnchor <= n && j + k + kAnchor <= m; ++k) {
    if (now[i + k] == old[j + k] && std::memcmp(now + i + k, old + j + k, kAnchor) == 0) {
      *work += k;
      *p = i + k;
      *q = j + k;
      return true;
    }
  }
  *work += kInPlace;
  for (uint64_t s = 0; s <= kReach && *work <= budget; s += kStride) {
    const bool old_left = j + s + kAnchor <= m;
    const bool now_left = i + s + kAnchor <= n;
    if (!old_left && !now_left) return false;
    if (old_left) {
      const uint64_t window = n - i < s + kReach + kAnchor ? n - i : s + kReach + kAnchor;
      const int64_t hit = FindAnchor(now + i, window, old + j + s, work);
      if (hit >= 0) {
        *p = i + static_cast<uint64_t>(hit);
        *q = j + s;
        return true;
      }
    }
    if (now_left) {
      const uint64_t window = m - j < s + kReach + kAnchor ? m - j : s + kReach + kAnchor;
      const int64_t hit = FindAnchor(old + j, window, now + i + s, work);
      if (hit >= 0) {
        *p = i + s;
        *q = j + static_cast<uint64_t>(hit);
        return true;
      }
    }
  }
  return false;
}

// Reads the step at *at of |script| (|length| bytes) and moves *at past it,
// to its literal bytes. False when the step or its literal bytes run past
// the script's end, or its copy past the |m| old bytes.
bool ReadStep(const uint8_t* script, uint64_t length, uint64_t m, uint64_t* at, CfEditStep* step) {
  if (length - *at < kCfEditStepSize) return false;
  step->literal = DecodeFixed32(script + *at);
  step->copy = DecodeFixed32(script + *at + 4);
  step->source = DecodeFixed64(script + *at + 8);
  *at += kCfEditStepSize;
  return step->literal <= length - *at && step->source <= m && step->copy <= m - step->source;
}

}  // namespace

size_t CfFindEdits(const uint8_t* old, uint64_t m, const uint8_t* now, uint64_t n,
                   CfEditStep* steps) {
  const uint64_t budget = 4 * (n + m) + (uint64_t{1} << 20);
  uint64_t work = 0;
  size_t count = 0;
  uint64_t i = 0, j = 0;  // where copying would go on in |now| and in |old|
  uint64_t literal = 0;   // where the new bytes not yet in a step start
  // Invariant: steps cover now[0, literal); count leaves room for the last.
  while (i < n && count + 1 < kCfEditMaxSteps) {
    uint64_t run = j < m ? CommonRun(now + i, old + j, n - i < m - j ? n - i : m - j) : 0;
    if (run < kMinCopy && !(run > 0 && i + run == n)) {
      if (!Resync(old, m, now, n, i, j, run, budget, &work, &i, &j)) break;
      // The match may begin before the anchor that found it.
      while (i > literal && j > 0 && now[i - 1] == old[j - 1]) {
        --i;
        --j;
      }
      run = CommonRun(now + i, old + j, n - i < m - j ? n - i : m - j);  // kAnchor or more
    }
    steps[count].literal = static_cast<uint32_t>(i - literal);
    steps[count].copy = static_cast<uint32_t>(run);
    steps[count].source = j;
    ++count;
    i += run;
    j += run;
    literal = i;
  }
  if (literal < n) {
    steps[count] = CfEditStep();
    steps[count].literal = static_cast<uint32_t>(n - literal);
    ++count;
  }
  return count;
}

uint64_t CfEditScriptSize(const CfEditStep* steps, size_t count) {
  uint64_t size = 0;
  for (size_t k = 0; k < count; ++k) size += kCfEditStepSize + steps[k].literal;
  return size;
}

void CfEncodeEdits(const CfEditStep* steps, size_t count, const uint8_t* now, uint8_t* out) {
  uint64_t at = 0;  // where the step's literal bytes are in |now|
  for (size_t k = 0; k < count; ++k) {
    EncodeFixed32(out, steps[k].literal);
    EncodeFixed32(out + 4, steps[k].copy);
    EncodeFixed64(out + 8, steps[k].source);
    std::memcpy(out + kCfEditStepSize, now + at, steps[k].literal);
    out += kCfEditStepSize + steps[k].literal;
    at += uint64_t{steps[k].literal} + steps[k].copy;
  }
}

bool CfEditsLength(const uint8_t* script, uint64_t length, uint64_t m, uint64_t* total) {
  uint64_t at = 0, sum = 0;
  CfEditStep step;
  while (at < length) {
    if (!ReadStep(script, length, m, &at, &step)) return false;
    at += step.literal;
    sum += uint64_t{step.literal} + step.copy;  // each step adds less than 2^33
  }
  *total = sum;
  return true;
}

bool CfApplyEdits(const uint8_t* script, uint64_t length, const uint8_t* old, uint64_t m,
                  uint8_t* out, uint64_t n) {
  uint64_t at = 0, done = 0;
  CfEditStep step;
  while (at < length) {
    if (!ReadStep(script, length, m, &at, &step)) return false;
    if (step.literal > n - done || step.copy > n - done - step.literal) return false;
    std::memcpy(out + done, script + at, step.literal);
    at += step.literal;
    done += step.literal;
    std::memcpy(out + done, old + step.source, step.copy);
    done += step.copy;
  }
  return done == n;
}

}  // namespace orvo::store
