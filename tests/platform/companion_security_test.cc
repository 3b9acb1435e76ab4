// The Windows rule for companion files, on security descriptors written as
// SDDL: owners, entries that give change rights, and no DACL at all.
#include <gtest/gtest.h>

// clang-format off
#include "platform/companion_security_win32.h"
#include <sddl.h>
// clang-format on

namespace orvo::platform {
namespace {

// Accounts that are neither the caller, the administrators nor SYSTEM.
#define ALICE L"S-1-5-21-7-7-7-1001"
#define BOB L"S-1-5-21-7-7-7-1002"

CompanionTrust Judge(const wchar_t* companion, const wchar_t* model) {
  PSECURITY_DESCRIPTOR c = nullptr, m = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(companion, SDDL_REVISION_1, &c,
                                                            nullptr) ||
      !ConvertStringSecurityDescriptorToSecurityDescriptorW(model, SDDL_REVISION_1, &m, nullptr)) {
    ADD_FAILURE() << "bad SDDL";
    return CompanionTrust::kUnknown;
  }
  const CompanionTrust verdict = JudgeCompanionDescriptor(c, m);
  LocalFree(c);
  LocalFree(m);
  return verdict;
}

TEST(CompanionSecurityTest, Verdicts) {
  // F: Alice's; SYSTEM and the administrators do anything, Alice and the
  // users write, everyone reads.
  const wchar_t kFile[] =
      L"O:" ALICE L"D:P(A;;FA;;;SY)(A;;FA;;;BA)(A;;FA;;;" ALICE L")(A;;FRFW;;;BU)(A;;FR;;;WD)";
  const struct {
    const char* what;
    const wchar_t* companion;
    CompanionTrust verdict;
  } cases[] = {
      {"F's own owner and DACL",
       L"O:" ALICE L"D:P(A;;FA;;;SY)(A;;FA;;;BA)(A;;FA;;;" ALICE L")(A;;FRFW;;;BU)(A;;FR;;;WD)",
       CompanionTrust::kTrusted},
      {"made by the administrators", L"O:BAD:P(A;;FA;;;BA)(A;;FR;;;WD)", CompanionTrust::kTrusted},
      {"made by SYSTEM", L"O:SYD:P(A;;FA;;;SY)", CompanionTrust::kTrusted},
      {"made by another account", L"O:" BOB L"D:P(A;;FA;;;SY)", CompanionTrust::kForeignOwner},
      {"the owner of its owner rights", L"O:BAD:P(A;;FA;;;OW)", CompanionTrust::kTrusted},
      {"everyone writes it, not F", L"O:BAD:P(A;;FA;;;BA)(A;;FRFW;;;WD)",
       CompanionTrust::kWritableByOthers},
      {"everyone may change its DACL", L"O:BAD:P(A;;FA;;;BA)(A;;WD;;;WD)",
       CompanionTrust::kWritableByOthers},
      {"another account writes it", L"O:BAD:P(A;;FA;;;BA)(A;;FW;;;" BOB L")",
       CompanionTrust::kWritableByOthers},
      {"the users write it, as F", L"O:BAD:P(A;;FA;;;BA)(A;;GA;;;BU)", CompanionTrust::kTrusted},
      {"everyone reads it", L"O:BAD:P(A;;FA;;;BA)(A;;FR;;;WD)", CompanionTrust::kTrusted},
      {"an entry for children only", L"O:BAD:P(A;;FA;;;BA)(A;OIIO;FA;;;WD)",
       CompanionTrust::kTrusted},
      {"a denying entry gives nothing", L"O:BAD:P(A;;FA;;;BA)(D;;FA;;;WD)",
       CompanionTrust::kTrusted},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Judge(c.companion, kFile), c.verdict) << c.what;
  }
  // Write that F gives its owner's group but denies to the users: the
  // users are not counted as writers of F.
  EXPECT_EQ(Judge(L"O:BAD:P(A;;FA;;;BA)(A;;FW;;;BU)", L"O:" ALICE L"D:P(D;;FW;;;BU)(A;;FA;;;BU)"),
            CompanionTrust::kWritableByOthers);
}

// A descriptor owned by |owner| that has no DACL (everyone may do anything).
// Built by hand: Wine reads "D:NO_ACCESS_CONTROL" as an empty DACL.
struct OpenToAll {
  explicit OpenToAll(const wchar_t* owner) {
    ConvertStringSidToSidW(owner, &sid);
    InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION);
    SetSecurityDescriptorOwner(&sd, sid, FALSE);
    SetSecurityDescriptorDacl(&sd, TRUE, nullptr, FALSE);
  }
  ~OpenToAll() { LocalFree(sid); }
  PSID sid = nullptr;
  SECURITY_DESCRIPTOR sd;
};

TEST(CompanionSecurityTest, NoDaclIsOpenToAll) {
  OpenToAll companion(L"BA"), model(ALICE);
  PSECURITY_DESCRIPTOR closed = nullptr;
  ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(
      L"O:" ALICE L"D:P(A;;FA;;;" ALICE L")", SDDL_REVISION_1, &closed, nullptr));
  EXPECT_EQ(JudgeCompanionDescriptor(&companion.sd, closed), CompanionTrust::kWritableByOthers);
  // Beside an F without a DACL, a companion without one is as open as F.
  EXPECT_EQ(JudgeCompanionDescriptor(&companion.sd, &model.sd), CompanionTrust::kTrusted);
  LocalFree(closed);
}

}  // namespace
}  // namespace orvo::platform
