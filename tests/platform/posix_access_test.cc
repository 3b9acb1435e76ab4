// The owner and permission rules for companion files, as tables.
#include "platform/posix_access.h"

#include <gtest/gtest.h>

namespace orvo::platform {
namespace {

constexpr uint32_t kRoot = 0, kAlice = 1000, kBob = 1001, kStaff = 50, kOther = 60;

TEST(PosixAccessTest, CompanionVerdicts) {
  const struct {
    const char* what;
    PosixAccess companion;
    PosixAccess model;
    uint32_t self;
    CompanionTrust verdict;
  } cases[] = {
      {"made by the file's owner",
       {kAlice, kStaff, 0644},
       {kAlice, kStaff, 0644},
       kBob,
       CompanionTrust::kTrusted},
      {"made by root",
       {kRoot, kRoot, 0644},
       {kAlice, kStaff, 0644},
       kBob,
       CompanionTrust::kTrusted},
      {"made by the caller",
       {kBob, kOther, 0644},
       {kRoot, kRoot, 0644},
       kBob,
       CompanionTrust::kTrusted},
      {"made by another account",
       {kBob, kOther, 0644},
       {kRoot, kRoot, 0666},
       kRoot,
       CompanionTrust::kForeignOwner},
      {"everyone writes it, not the file",
       {kRoot, kRoot, 0666},
       {kRoot, kRoot, 0644},
       kRoot,
       CompanionTrust::kWritableByOthers},
      {"everyone writes both",
       {kRoot, kRoot, 0666},
       {kAlice, kStaff, 0666},
       kBob,
       CompanionTrust::kTrusted},
      {"its group writes it, not the file",
       {kAlice, kStaff, 0664},
       {kAlice, kStaff, 0644},
       kRoot,
       CompanionTrust::kWritableByOthers},
      {"the same group writes both",
       {kAlice, kStaff, 0664},
       {kAlice, kStaff, 0664},
       kRoot,
       CompanionTrust::kTrusted},
      {"another group writes it",
       {kAlice, kOther, 0664},
       {kAlice, kStaff, 0664},
       kRoot,
       CompanionTrust::kWritableByOthers},
      {"another group, everyone writes the file",
       {kAlice, kOther, 0664},
       {kAlice, kStaff, 0666},
       kRoot,
       CompanionTrust::kTrusted},
      {"read-only for others",
       {kRoot, kRoot, 0600},
       {kAlice, kStaff, 0666},
       kBob,
       CompanionTrust::kTrusted},
      {"a second name or no file",
       {kRoot, kRoot, 0600, false},
       {kRoot, kRoot, 0600},
       kRoot,
       CompanionTrust::kNotAPlainFile},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(JudgeCompanion(c.companion, c.model, c.self), c.verdict) << c.what;
  }
}

TEST(PosixAccessTest, AccessGivenToACompanion) {
  const struct {
    const char* what;
    PosixAccess companion;
    PosixAccess model;
    bool may_chown;
    PosixAccess want;
  } cases[] = {
      {"root takes owner, group and bits",
       {kRoot, kRoot, 0600},
       {kAlice, kStaff, 0664},
       true,
       {kAlice, kStaff, 0664}},
      {"set-id and sticky bits are not copied",
       {kRoot, kRoot, 0600},
       {kAlice, kStaff, 07755},
       true,
       {kAlice, kStaff, 0755}},
      {"same group: the bits as they are",
       {kBob, kStaff, 0600},
       {kAlice, kStaff, 0664},
       false,
       {kBob, kStaff, 0664}},
      {"another group gets what everyone gets",
       {kBob, kOther, 0600},
       {kAlice, kStaff, 0664},
       false,
       {kBob, kOther, 0644}},
      {"another group, everyone writes",
       {kBob, kOther, 0600},
       {kAlice, kStaff, 0666},
       false,
       {kBob, kOther, 0666}},
  };
  for (const auto& c : cases) {
    const PosixAccess got = AccessToGive(c.companion, c.model, c.may_chown);
    EXPECT_EQ(got.uid, c.want.uid) << c.what;
    EXPECT_EQ(got.gid, c.want.gid) << c.what;
    EXPECT_EQ(got.mode, c.want.mode) << std::oct << got.mode << " " << c.what;
    // What a companion is given, its maker trusts; what root gives it, the
    // file's owner trusts too.
    EXPECT_EQ(JudgeCompanion(got, c.model, got.uid), CompanionTrust::kTrusted) << c.what;
    if (c.may_chown) {
      EXPECT_EQ(JudgeCompanion(got, c.model, c.model.uid), CompanionTrust::kTrusted) << c.what;
    }
  }
}

TEST(PosixAccessTest, WhoMayReadAndWrite) {
  const PosixAccess f{kAlice, kStaff, 0640};
  EXPECT_TRUE(MayAccess(f, kAlice, kOther, true));
  EXPECT_TRUE(MayAccess(f, kBob, kStaff, false));
  EXPECT_FALSE(MayAccess(f, kBob, kStaff, true));
  EXPECT_FALSE(MayAccess(f, kBob, kOther, false));
  EXPECT_TRUE(MayAccess(f, kRoot, kOther, true));
  // The owner's bits count for the owner even when others have more.
  EXPECT_FALSE(MayAccess(PosixAccess{kAlice, kStaff, 0466}, kAlice, kStaff, true));
}

}  // namespace
}  // namespace orvo::platform
