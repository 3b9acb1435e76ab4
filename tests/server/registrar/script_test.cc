#include "server/registrar/script.h"

#include <gtest/gtest.h>

#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/result.h"
#include "server/registrar/memory_registry.h"
#include "tests/server/registrar/registry_dump.h"

namespace orvo::registrar {
namespace {

using testing::Dump;
using Lines = std::vector<std::string>;

constexpr RegistryRoot kHkcr = RegistryRoot::kClassesRoot;
constexpr RegistryRoot kHkcu = RegistryRoot::kCurrentUser;
constexpr RegistryRoot kHklm = RegistryRoot::kLocalMachine;

class ScriptTest : public ::testing::Test {
 protected:
  Result Register(std::u16string_view script) { return registrar_.Register(script); }
  Result Unregister(std::u16string_view script) { return registrar_.Unregister(script); }
  Lines Classes() { return Dump(reg_, kHkcr); }

  MemoryRegistry reg_;
  ScriptRegistrar registrar_{&reg_};
};

// --- Registering ------------------------------------------------------------

TEST_F(ScriptTest, RegisterCreatesKeysDefaultValuesAndNamedValues) {
  ASSERT_EQ(Register(u"HKCR { App.Doc = s 'A document' { CurVer = s 'App.Doc.2' }"
                     u" 'Key With Blanks' { val 'Named Value' = s 'x y' val Other = s '' } }"),
            kResultOk);
  EXPECT_EQ(Classes(), (Lines{"App.Doc", "App.Doc @=A document", "App.Doc\\CurVer",
                              "App.Doc\\CurVer @=App.Doc.2", "Key With Blanks",
                              "Key With Blanks Named Value=x y", "Key With Blanks Other="}));
}

TEST_F(ScriptTest, RegisterKeepsWhatIsAlreadyThereUnderPlainKeys) {
  ASSERT_EQ(reg_.CreateKey(kHkcr, u"App\\Extra"), kResultOk);
  ASSERT_EQ(reg_.SetStringValue(kHkcr, u"App", u"Mine", u"kept"), kResultOk);
  ASSERT_EQ(reg_.SetDefaultValue(kHkcr, u"App", u"old"), kResultOk);
  ASSERT_EQ(Register(u"HKCR { NoRemove app = s 'new' { Sub } }"), kResultOk);
  EXPECT_EQ(Classes(), (Lines{"App", "App @=new", "App Mine=kept", "App\\Extra", "App\\Sub"}));
}

TEST_F(ScriptTest, ForceRemoveRecreatesTheKeyFromScratch) {
  ASSERT_EQ(reg_.CreateKey(kHkcr, u"App\\Extra\\Deep"), kResultOk);
  ASSERT_EQ(reg_.SetStringValue(kHkcr, u"App", u"Mine", u"gone"), kResultOk);
  ASSERT_EQ(reg_.CreateKey(kHkcr, u"Sibling"), kResultOk);
  ASSERT_EQ(Register(u"HKCR { ForceRemove App = s 'fresh' { Sub } }"), kResultOk);
  EXPECT_EQ(Classes(), (Lines{"App", "App @=fresh", "App\\Sub", "Sibling"}));
}

TEST_F(ScriptTest, DeleteRemovesATreeOnRegisterAndNothingOnUnregister) {
  ASSERT_EQ(reg_.CreateKey(kHkcr, u"Old\\Child"), kResultOk);
  ASSERT_EQ(reg_.CreateKey(kHkcr, u"Keep"), kResultOk);
  const char16_t script[] = u"HKCR { Delete Old Delete Missing }";
  ASSERT_EQ(Register(script), kResultOk);
  EXPECT_EQ(Classes(), (Lines{"Keep"}));
  ASSERT_EQ(reg_.CreateKey(kHkcr, u"Old"), kResultOk);
  ASSERT_EQ(Unregister(script), kResultOk);
  EXPECT_EQ(Classes(), (Lines{"Keep", "Old"}));
}

TEST_F(ScriptTest, KeyNamesMayReachSeveralLevels) {
  ASSERT_EQ(Register(u"HKCR { 'A\\B\\C' = s 'deep' }"), kResultOk);
  EXPECT_EQ(Classes(), (Lines{"A", "A\\B", "A\\B\\C", "A\\B\\C @=deep"}));
  // Unregistering removes the last level only.
  ASSERT_EQ(Unregister(u"HKCR { 'A\\B\\C' = s 'deep' }"), kResultOk);
  EXPECT_EQ(Classes(), (Lines{"A", "A\\B"}));
}

TEST_F(ScriptTest, RootNamesInEveryForm) {
  struct Case {
    const char16_t* name;
    RegistryRoot root;
  };
  for (const Case& c :
       {Case{u"HKCR", kHkcr}, Case{u"hkey_classes_root", kHkcr}, Case{u"HKCU", kHkcu},
        Case{u"HKEY_CURRENT_USER", kHkcu}, Case{u"HkLm", kHklm}, Case{u"HKEY_LOCAL_MACHINE", kHklm},
        Case{u"HKU", RegistryRoot::kUsers}, Case{u"HKEY_USERS", RegistryRoot::kUsers},
        Case{u"HKCC", RegistryRoot::kCurrentConfig},
        Case{u"HKEY_CURRENT_CONFIG", RegistryRoot::kCurrentConfig}}) {
    MemoryRegistry reg;
    ScriptRegistrar registrar(&reg);
    ASSERT_EQ(registrar.Register(std::u16string(c.name) + u" { K }"), kResultOk)
        << testing::Narrow(c.name);
    for (int r = 0; r < kRegistryRootCount; ++r) {
      const RegistryRoot root = static_cast<RegistryRoot>(r);
      EXPECT_EQ(Dump(reg, root), root == c.root ? Lines{"K"} : Lines{}) << testing::Narrow(c.name);
    }
  }
}

TEST_F(ScriptTest, KeywordsAndTypeLetterIgnoreCaseButNotQuotes) {
  ASSERT_EQ(reg_.CreateKey(kHkcr, u"Gone\\Child"), kResultOk);
  ASSERT_EQ(Register(u"hkcr { FORCEREMOVE Gone { VAL v = S 'x' } 'NoRemove' 'val' = s 'y' }"),
            kResultOk);
  // The quoted words are plain key names: "NoRemove" and "val", each a key.
  EXPECT_EQ(Classes(), (Lines{"Gone", "Gone v=x", "NoRemove", "val", "val @=y"}));
}

TEST_F(ScriptTest, SeveralTreesInOneScript) {
  ASSERT_EQ(Register(u"HKCR { A } HKCU { B } HKCR { C }"), kResultOk);
  EXPECT_EQ(Classes(), (Lines{"A", "C"}));
  EXPECT_EQ(Dump(reg_, kHkcu), (Lines{"B"}));
}

TEST_F(ScriptTest, EmptyScriptsDoNothing) {
  ASSERT_EQ(reg_.CreateKey(kHkcr, u"Existing"), kResultOk);
  for (const char16_t* script : {u"", u" \r\n\t", u"HKCR { }", u"HKCR\r\n{\r\n}\r\n"}) {
    EXPECT_EQ(Register(script), kResultOk);
    EXPECT_EQ(Unregister(script), kResultOk);
  }
  EXPECT_EQ(Classes(), (Lines{"Existing"}));
}

// --- Unregistering ----------------------------------------------------------

TEST_F(ScriptTest, UnregisterUndoesARegistration) {
  const char16_t script[] =
      u"HKCR { NoRemove Shared { ForceRemove Mine = s 'm' { Sub } Plain = s 'p' { val V = s 'v' }"
      u" } }";
  ASSERT_EQ(Register(script), kResultOk);
  ASSERT_EQ(Unregister(script), kResultOk);
  EXPECT_EQ(Classes(), (Lines{"Shared"}));
}

TEST_F(ScriptTest, PlainKeysStayWhileForeignSubkeysRemain) {
  const char16_t script[] = u"HKCR { Top = s 'ours' { val Ours = s '1' Inner { Leaf } } }";
  ASSERT_EQ(Register(script), kResultOk);
  ASSERT_EQ(reg_.CreateKey(kHkcr, u"Top\\Foreign"), kResultOk);
  ASSERT_EQ(reg_.SetStringValue(kHkcr, u"Top\\Inner", u"Theirs", u"2"), kResultOk);
  ASSERT_EQ(Unregister(script), kResultOk);
  // Inner had no subkeys left and went with its foreign value; Top keeps its
  // foreign subkey and, being kept, its default value. Named values listed
  // in the script are removed in any case.
  EXPECT_EQ(Classes(), (Lines{"Top", "Top @=ours", "Top\\Foreign"}));
  // Once the foreign subkey is gone, the next unregistration removes Top.
  ASSERT_EQ(reg_.DeleteTree(kHkcr, u"Top\\Foreign"), kResultOk);
  ASSERT_EQ(Unregister(script), kResultOk);
  EXPECT_EQ(Classes(), Lines{});
}

TEST_F(ScriptTest, NoRemoveKeysStayButTheirEntriesGo) {
  const char16_t script[] = u"HKCR { NoRemove Kept = s 'd' { val V = s 'v' Child } }";
  ASSERT_EQ(Register(script), kResultOk);
  ASSERT_EQ(Unregister(script), kResultOk);
  EXPECT_EQ(Classes(), (Lines{"Kept", "Kept @=d"}));
}

TEST_F(ScriptTest, ForceRemoveTakesEverythingOnUnregister) {
  const char16_t script[] = u"HKCR { ForceRemove Gone { Child } }";
  ASSERT_EQ(Register(script), kResultOk);
  ASSERT_EQ(reg_.CreateKey(kHkcr, u"Gone\\Foreign\\Deep"), kResultOk);
  ASSERT_EQ(reg_.SetStringValue(kHkcr, u"Gone", u"x", u"y"), kResultOk);
  ASSERT_EQ(Unregister(script), kResultOk);
  EXPECT_EQ(Classes(), Lines{});
}

TEST_F(ScriptTest, UnregisterOfWhatIsNotThereSucceeds) {
  ASSERT_EQ(reg_.CreateKey(kHkcr, u"Other"), kResultOk);
  ASSERT_EQ(Unregister(u"HKCR { NoRemove Missing { Plain { val V = s 'v' } }"
                       u" ForceRemove Gone Plain2 = s 'x' Other { val Nope = s '' } }"),
            kResultOk);
  // "Other" had no subkeys: as a plain key of the script it is removed.
  EXPECT_EQ(Classes(), Lines{});
}

// --- Replacements -----------------------------------------------------------

TEST_F(ScriptTest, ReplacementsApplyInNamesAndData) {
  ASSERT_EQ(registrar_.AddReplacement(u"MODULE", u"C:\\Bob's {Files}\\x = s 'y'.dll"), kResultOk);
  ASSERT_EQ(registrar_.AddReplacement(u"AppId", u"{0123}"), kResultOk);
  ASSERT_EQ(Register(u"HKCR { %APPID% = s '%module%' { val %Appid%-%% = s '100%%-%MODULE%' }"
                     u" 'Lit%%eral' }"),
            kResultOk);
  const std::string module = "C:\\Bob's {Files}\\x = s 'y'.dll";
  EXPECT_EQ(Classes(),
            (Lines{"Lit%eral", "{0123}", "{0123} @=" + module, "{0123} {0123}-%=100%-" + module}));
}

TEST_F(ScriptTest, ReplacementValuesAreNotExpandedAgain) {
  ASSERT_EQ(registrar_.AddReplacement(u"A", u"%B%"), kResultOk);
  ASSERT_EQ(Register(u"HKCR { K = s '%A%' }"), kResultOk);
  EXPECT_EQ(Classes(), (Lines{"K", "K @=%B%"}));
}

TEST_F(ScriptTest, AddingAgainReplacesAndClearingForgets) {
  ASSERT_EQ(registrar_.AddReplacement(u"MODULE", u"first"), kResultOk);
  ASSERT_EQ(registrar_.AddReplacement(u"module", u"second"), kResultOk);
  ASSERT_EQ(Register(u"HKCR { K = s '%MODULE%' }"), kResultOk);
  EXPECT_EQ(Classes(), (Lines{"K", "K @=second"}));
  registrar_.ClearReplacements();
  EXPECT_EQ(Register(u"HKCR { K = s '%MODULE%' }"), kResultBadScript);
  EXPECT_EQ(Classes(), (Lines{"K", "K @=second"}));
}

TEST(ReplacementMapTest, RefusesNamesThatCannotBeWritten) {
  ReplacementMap map;
  EXPECT_EQ(map.Add(u"", u"x"), kResultInvalidArg);
  EXPECT_EQ(map.Add(u"A%B", u"x"), kResultInvalidArg);
  EXPECT_EQ(map.Add(u"%", u"x"), kResultInvalidArg);
  EXPECT_EQ(map.Find(u""), nullptr);
  ASSERT_EQ(map.Add(u"Name", u""), kResultOk);
  ASSERT_NE(map.Find(u"NAME"), nullptr);
  EXPECT_EQ(*map.Find(u"NAME"), u"");
  EXPECT_EQ(map.Find(u"Nam"), nullptr);
}

// --- Malformed scripts ------------------------------------------------------

struct MalformedCase {
  const char* what;
  std::u16string script;
};

class MalformedScriptTest : public ::testing::TestWithParam<MalformedCase> {};

TEST_P(MalformedScriptTest, FailsWithoutTouchingTheRegistry) {
  MemoryRegistry reg;
  ASSERT_EQ(reg.CreateKey(kHkcr, u"Existing\\Child"), kResultOk);
  ASSERT_EQ(reg.SetStringValue(kHkcr, u"Existing", u"v", u"1"), kResultOk);
  const Lines before = Dump(reg, kHkcr);
  ScriptRegistrar registrar(&reg);
  ASSERT_EQ(registrar.AddReplacement(u"MODULE", u"m.dll"), kResultOk);
  // Each script begins with valid entries that would change the registry.
  const std::u16string script = u"HKCR { ForceRemove Existing New } " + GetParam().script;
  EXPECT_EQ(registrar.Register(script), kResultBadScript) << GetParam().what;
  EXPECT_EQ(registrar.Unregister(script), kResultBadScript) << GetParam().what;
  EXPECT_EQ(Dump(reg, kHkcr), before) << GetParam().what;
  for (RegistryRoot other : {kHkcu, kHklm}) EXPECT_TRUE(Dump(reg, other).empty());
}

std::u16string Nested(int levels, bool innermost_has_body) {
  std::u16string s = u"HKCU {";
  for (int i = 1; i < levels; ++i) s += u" k {";
  s += innermost_has_body ? u" k { }" : u" k";
  for (int i = 1; i < levels; ++i) s += u" }";
  return s + u" }";
}

INSTANTIATE_TEST_SUITE_P(
    Cases, MalformedScriptTest,
    ::testing::Values(MalformedCase{"unknown root", u"HKXX { A }"},
                      MalformedCase{"unsupported root", u"HKEY_PERFORMANCE_DATA { A }"},
                      MalformedCase{"quoted root", u"'HKCU' { A }"},
                      MalformedCase{"root without body", u"HKCU"},
                      MalformedCase{"root with a value", u"HKCU = s 'x' { }"},
                      MalformedCase{"entry outside a root", u"A { }"},
                      MalformedCase{"unclosed body", u"HKCU { A { B }"},
                      MalformedCase{"extra closing brace", u"HKCU { A } }"},
                      MalformedCase{"brace in place of a name", u"HKCU { { } }"},
                      MalformedCase{"equals in place of a name", u"HKCU { = s 'x' }"},
                      MalformedCase{"keyword without name", u"HKCU { NoRemove }"},
                      MalformedCase{"value without type", u"HKCU { A = 'x' }"},
                      MalformedCase{"number type", u"HKCU { A = d '5' }"},
                      MalformedCase{"binary type", u"HKCU { A = b '00' }"},
                      MalformedCase{"multi-string type", u"HKCU { A = m 'x' }"},
                      MalformedCase{"unquoted data", u"HKCU { A = s x }"},
                      MalformedCase{"missing data", u"HKCU { A = s }"},
                      MalformedCase{"two values", u"HKCU { A = s 'x' = s 'y' }"},
                      MalformedCase{"unterminated quote", u"HKCU { A = s 'x }"},
                      MalformedCase{"named value under a root", u"HKCU { val V = s 'x' }"},
                      MalformedCase{"named value without data", u"HKCU { A { val V } }"},
                      MalformedCase{"named value with a body", u"HKCU { A { val V = s 'x' { } } }"},
                      MalformedCase{"named value without name", u"HKCU { A { val = s 'x' } }"},
                      MalformedCase{"delete with a value", u"HKCU { Delete A = s 'x' }"},
                      MalformedCase{"delete with a body", u"HKCU { Delete A { B } }"},
                      MalformedCase{"empty key name", u"HKCU { '' }"},
                      MalformedCase{"key name with a leading backslash", u"HKCU { '\\A' }"},
                      MalformedCase{"key name with a trailing backslash", u"HKCU { 'A\\' }"},
                      MalformedCase{"key name of 256 units",
                                    u"HKCU { " + std::u16string(256, u'n') + u" }"},
                      MalformedCase{"unknown replacement", u"HKCU { A = s '%MODULE%%NOPE%' }"},
                      MalformedCase{"unknown replacement in a name", u"HKCU { %NOPE% }"},
                      MalformedCase{"lone percent sign", u"HKCU { A = s '100%' }"},
                      MalformedCase{"lone percent sign after an escaped one", u"HKCU { '%%%' }"},
                      MalformedCase{"nesting too deep", Nested(64, true)}));

TEST_F(ScriptTest, SixtyFourLevelsOfKeysAreAllowed) {
  ASSERT_EQ(Register(Nested(64, false)), kResultOk);
  std::u16string path = u"k";
  for (int i = 1; i < 64; ++i) path += u"\\k";
  EXPECT_EQ(reg_.KeyExists(kHkcu, path), kResultOk);
  ASSERT_EQ(Unregister(Nested(64, false)), kResultOk);
  EXPECT_TRUE(Dump(reg_, kHkcu).empty());
}

TEST_F(ScriptTest, ReplacementThatEmptiesAKeyNameIsMalformed) {
  ASSERT_EQ(registrar_.AddReplacement(u"EMPTY", u""), kResultOk);
  EXPECT_EQ(Register(u"HKCR { %EMPTY% }"), kResultBadScript);
  ASSERT_EQ(registrar_.AddReplacement(u"SLASHED", u"a\\"), kResultOk);
  EXPECT_EQ(Register(u"HKCR { %SLASHED% }"), kResultBadScript);
  EXPECT_EQ(Classes(), Lines{});
  // An empty replacement in a value name gives the default value.
  ASSERT_EQ(Register(u"HKCR { K { val '%EMPTY%' = s 'd' } }"), kResultOk);
  EXPECT_EQ(Classes(), (Lines{"K", "K @=d"}));
}

// --- Narrow scripts ---------------------------------------------------------

TEST_F(ScriptTest, AsciiScriptsRunAndOtherBytesAreRefused) {
  ASSERT_EQ(registrar_.RunAscii("HKCR\r\n{\r\n\tK = s 'v'\r\n}\r\n", true), kResultOk);
  EXPECT_EQ(Classes(), (Lines{"K", "K @=v"}));
  EXPECT_EQ(registrar_.RunAscii("HKCR { L = s 'caf\xE9' }", true), kResultBadScript);
  EXPECT_EQ(Classes(), (Lines{"K", "K @=v"}));
  // A NUL ends the script; what follows it is not looked at.
  const std::string with_nul("HKCR { M }\0\xE9 junk", 17);
  ASSERT_EQ(registrar_.RunAscii(with_nul, true), kResultOk);
  EXPECT_EQ(Classes(), (Lines{"K", "K @=v", "M"}));
  ASSERT_EQ(registrar_.RunAscii("HKCR { K = s 'v' M }", false), kResultOk);
  EXPECT_EQ(Classes(), Lines{});
}

// --- Per-user mode ----------------------------------------------------------

TEST_F(ScriptTest, PerUserModeMovesClassesRootToTheUsersClasses) {
  registrar_.set_per_user(true);
  EXPECT_TRUE(registrar_.per_user());
  const char16_t script[] =
      u"HKCR { NoRemove CLSID { ForceRemove {X} = s 'd' { val V = s 'v' } } }"
      u" HKEY_CLASSES_ROOT { Y } HKLM { Z }";
  ASSERT_EQ(Register(script), kResultOk);
  EXPECT_EQ(Classes(), Lines{});
  EXPECT_EQ(Dump(reg_, kHkcu),
            (Lines{"Software", "Software\\Classes", "Software\\Classes\\CLSID",
                   "Software\\Classes\\CLSID\\{X}", "Software\\Classes\\CLSID\\{X} @=d",
                   "Software\\Classes\\CLSID\\{X} V=v", "Software\\Classes\\Y"}));
  EXPECT_EQ(Dump(reg_, kHklm), (Lines{"Z"}));  // other roots as they are
  ASSERT_EQ(Unregister(script), kResultOk);
  EXPECT_EQ(Dump(reg_, kHkcu),
            (Lines{"Software", "Software\\Classes", "Software\\Classes\\CLSID"}));
  EXPECT_TRUE(Dump(reg_, kHklm).empty());
  EXPECT_EQ(Classes(), Lines{});
}

TEST_F(ScriptTest, PerUserModeLeavesTheMachineClassesAlone) {
  ASSERT_EQ(reg_.CreateKey(kHkcr, u"CLSID\\{X}"), kResultOk);
  registrar_.set_per_user(true);
  ASSERT_EQ(Unregister(u"HKCR { NoRemove CLSID { ForceRemove {X} } }"), kResultOk);
  EXPECT_EQ(Classes(), (Lines{"CLSID", "CLSID\\{X}"}));
  registrar_.set_per_user(false);
  ASSERT_EQ(Unregister(u"HKCR { NoRemove CLSID { ForceRemove {X} } }"), kResultOk);
  EXPECT_EQ(Classes(), (Lines{"CLSID"}));
}

// --- Registry failures ------------------------------------------------------

// Fails (or throws) on the n-th changing call; counts the changing calls.
class FaultyRegistry : public MemoryRegistry {
 public:
  enum class Fault { kResult, kBadAlloc, kOtherException };

  void FailAt(int call, Fault fault) {
    fail_at_ = call;
    fault_ = fault;
  }
  int changes() const { return changes_; }

  Result CreateKey(RegistryRoot root, std::u16string_view path) override {
    if (Trip()) return Fail();
    return MemoryRegistry::CreateKey(root, path);
  }
  Result DeleteTree(RegistryRoot root, std::u16string_view path) override {
    if (Trip()) return Fail();
    return MemoryRegistry::DeleteTree(root, path);
  }
  Result SetStringValue(RegistryRoot root, std::u16string_view path, std::u16string_view name,
                        std::u16string_view data) override {
    if (Trip()) return Fail();
    return MemoryRegistry::SetStringValue(root, path, name, data);
  }
  Result DeleteValue(RegistryRoot root, std::u16string_view path,
                     std::u16string_view name) override {
    if (Trip()) return Fail();
    return MemoryRegistry::DeleteValue(root, path, name);
  }

  static constexpr Result kAccessDenied = kResultAccessDenied;

 private:
  bool Trip() { return ++changes_ == fail_at_; }
  Result Fail() {
    if (fault_ == Fault::kBadAlloc) throw std::bad_alloc();
    if (fault_ == Fault::kOtherException) throw std::runtime_error("registry broke");
    return kAccessDenied;
  }

  int fail_at_ = 0;
  int changes_ = 0;
  Fault fault_ = Fault::kResult;
};

constexpr char16_t kThreeSteps[] = u"HKCU { A = s 'a' { B } }";  // create, set, create

TEST(RegistryFailureTest, TheFirstFailureEndsTheRunAndIsReturned) {
  for (int call = 1; call <= 3; ++call) {
    FaultyRegistry reg;
    reg.FailAt(call, FaultyRegistry::Fault::kResult);
    ScriptRegistrar registrar(&reg);
    EXPECT_EQ(registrar.Register(kThreeSteps), FaultyRegistry::kAccessDenied) << call;
    EXPECT_EQ(reg.changes(), call) << "nothing is tried after the failure";
  }
  FaultyRegistry reg;
  ScriptRegistrar registrar(&reg);
  ASSERT_EQ(registrar.Register(kThreeSteps), kResultOk);
  reg.FailAt(reg.changes() + 1, FaultyRegistry::Fault::kResult);
  EXPECT_EQ(registrar.Unregister(kThreeSteps), FaultyRegistry::kAccessDenied);
  EXPECT_EQ(Dump(reg, kHkcu), (Lines{"A", "A @=a", "A\\B"}));
}

TEST(RegistryFailureTest, ExceptionsFromTheRegistryBecomeResults) {
  FaultyRegistry reg;
  ScriptRegistrar registrar(&reg);
  reg.FailAt(2, FaultyRegistry::Fault::kBadAlloc);
  EXPECT_EQ(registrar.Register(kThreeSteps), kResultOutOfMemory);
  reg.FailAt(reg.changes() + 1, FaultyRegistry::Fault::kOtherException);
  EXPECT_EQ(registrar.Register(kThreeSteps), kResultFail);
}

}  // namespace
}  // namespace orvo::registrar
