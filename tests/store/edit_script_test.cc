// Edit scripts: what a save's side file keeps of the image, as literal bytes
// and copies of the bytes the save overwrites.
#include "store/edit_script.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "store/coding.h"

namespace {

using orvo::store::CfApplyEdits;
using orvo::store::CfEditScriptSize;
using orvo::store::CfEditsLength;
using orvo::store::CfEncodeEdits;
using orvo::store::CfFindEdits;

const uint8_t* U(const std::string& s) { return reinterpret_cast<const uint8_t*>(s.data()); }

std::string Script(const std::string& old, const std::string& now) {
  std::vector<CfEditStep> steps(kCfEditMaxSteps);
  const size_t count = CfFindEdits(U(old), old.size(), U(now), now.size(), steps.data());
  EXPECT_LE(count, kCfEditMaxSteps);
  std::string script(CfEditScriptSize(steps.data(), count), '\0');
  CfEncodeEdits(steps.data(), count, U(now), reinterpret_cast<uint8_t*>(&script[0]));
  return script;
}

// What |script| makes of |old|, |n| bytes long; "<malformed>" when it refuses.
std::string Apply(const std::string& script, const std::string& old, size_t n) {
  std::string out(n, '\0');
  if (!CfApplyEdits(U(script), script.size(), U(old), old.size(),
                    reinterpret_cast<uint8_t*>(&out[0]), n)) {
    return "<malformed>";
  }
  return out;
}

// Records as a registration file holds them: short names, ids, zeros; many
// look alike, so that anchors meet false matches.
std::string Records(int count, uint32_t seed) {
  std::mt19937 rng(seed);
  std::string s;
  for (int i = 0; i < count; ++i) {
    const int name = 4 + static_cast<int>(rng() % 40);
    s += std::string(1, static_cast<char>(name)) + std::string("\x02\x00\x00", 3);
    s += std::string(4, '\0');
    for (int k = 0; k < name; ++k) s += std::string(1, static_cast<char>('a' + rng() % 3)) + '\0';
  }
  return s;
}

TEST(EditScriptTest, MakesTheNewBytesAndKeepsOnlyWhatChanged) {
  const std::string old = Records(400, 1);  // about 27 KB
  const std::string record = Records(1, 99);
  const struct {
    const char* what;
    std::string now;
    size_t most;  // the longest script that will do
  } kCases[] = {
      {"nothing changed", old, kCfEditStepSize},
      {"four bytes in place", old.substr(0, 4) + "wxyz" + old.substr(8), 3 * kCfEditStepSize + 8},
      {"an id and a record inserted",
       old.substr(0, 20) + "\x11\x22\x33\x44" + old.substr(20, 9000) + record + old.substr(9020),
       5 * kCfEditStepSize + 4 + record.size() + 64},
      {"a record removed", old.substr(0, 5000) + old.substr(5300), 3 * kCfEditStepSize + 64},
      {"bytes added at the end", old + record, 2 * kCfEditStepSize + record.size() + 32},
      {"cut to half", old.substr(0, old.size() / 2), kCfEditStepSize},
      {"the start removed", old.substr(3000), 2 * kCfEditStepSize + 32},
      {"nothing in common", std::string(5000, '\x7f'), kCfEditStepSize + 5000},
      {"empty", "", 0},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.what);
    const std::string script = Script(old, c.now);
    EXPECT_EQ(Apply(script, old, c.now.size()), c.now);
    EXPECT_LE(script.size(), c.most);
  }
  // Nothing to copy from: all literal.
  EXPECT_EQ(Script("", old).size(), kCfEditStepSize + old.size());
  EXPECT_EQ(Apply(Script("", old), "", old.size()), old);
}

// Random edits over look-alike records and over bytes with long repeats:
// whatever the search finds, the script makes exactly the new bytes.
TEST(EditScriptTest, EveryScriptMakesExactlyTheNewBytes) {
  std::mt19937 rng(7);
  for (int trial = 0; trial < 400; ++trial) {
    std::string old = trial % 3 == 0 ? std::string(2000 + rng() % 3000, '\0')
                                     : Records(10 + static_cast<int>(rng() % 200), rng());
    if (trial % 3 == 0) {
      for (size_t i = 0; i < old.size(); i += 1 + rng() % 64) old[i] = static_cast<char>(rng());
    }
    std::string now = old;
    const int edits = 1 + static_cast<int>(rng() % 6);
    for (int e = 0; e < edits; ++e) {
      const size_t at = now.empty() ? 0 : rng() % now.size();
      const size_t len = rng() % (rng() % 4 == 0 ? 5000 : 40);
      switch (rng() % 4) {
        case 0:
          now.insert(at, Records(1 + static_cast<int>(len % 5), rng()).substr(0, len));
          break;
        case 1:
          now.erase(at, len);
          break;
        case 2:
          for (size_t i = at; i < at + len && i < now.size(); ++i) now[i] ^= 0x5a;
          break;
        default:
          now.insert(at, old.substr(rng() % old.size(), len));  // moved bytes
      }
    }
    SCOPED_TRACE("trial " + std::to_string(trial));
    ASSERT_EQ(Apply(Script(old, now), old, now.size()), now);
  }
}

// A script that does not fit its old bytes or its length is refused,
// however it is cut or bent.
TEST(EditScriptTest, MalformedScriptsAreRefused) {
  const std::string old = Records(50, 3);
  const std::string now = old.substr(0, 100) + "inserted" + old.substr(100);
  const std::string script = Script(old, now);
  ASSERT_EQ(Apply(script, old, now.size()), now);
  uint64_t total = 0;
  ASSERT_TRUE(CfEditsLength(U(script), script.size(), old.size(), &total));
  EXPECT_EQ(total, now.size());
  for (size_t cut = 0; cut < script.size(); ++cut) {
    EXPECT_EQ(Apply(script.substr(0, cut), old, now.size()), "<malformed>") << "cut at " << cut;
    // Told apart before anything is made of it.
    EXPECT_TRUE(!CfEditsLength(U(script), cut, old.size(), &total) || total < now.size());
  }
  EXPECT_FALSE(CfEditsLength(U(script), script.size(), old.size() - 1, &total));
  EXPECT_EQ(Apply(script, old, now.size() - 1), "<malformed>");
  EXPECT_EQ(Apply(script, old, now.size() + 1), "<malformed>");
  EXPECT_EQ(Apply(script, old.substr(0, old.size() - 1), now.size()), "<malformed>");
  // A copy that reaches past the old bytes, one length past the script.
  std::string bent = script;
  orvo::store::EncodeFixed64(reinterpret_cast<uint8_t*>(&bent[8]), old.size());
  EXPECT_EQ(Apply(bent, old, now.size()), "<malformed>");
  bent = script;
  orvo::store::EncodeFixed32(reinterpret_cast<uint8_t*>(&bent[0]), 0x7fffffff);
  EXPECT_EQ(Apply(bent, old, now.size()), "<malformed>");
}

}  // namespace
