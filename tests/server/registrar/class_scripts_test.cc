// The module's three registry scripts, run against the in-memory registry.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/result.h"
#include "server/registrar/memory_registry.h"
#include "server/registrar/script.h"
#include "tests/server/registrar/registry_dump.h"

namespace orvo::registrar {
namespace {

using testing::Dump;
using testing::Narrow;
using Lines = std::vector<std::string>;

constexpr RegistryRoot kHkcr = RegistryRoot::kClassesRoot;
constexpr RegistryRoot kHkcu = RegistryRoot::kCurrentUser;

const std::u16string kClsidCommon = u"{54E03D1C-9E66-409E-B8FC-4AB47548E3B9}";
const std::u16string kClsidTamsiver = u"{CD3E96FF-112C-4A1E-BE81-38131E53DFD5}";
const std::u16string kLibId = u"{8F9584AF-1928-4191-91EB-0577C5CDE0FE}";
const std::u16string kAppId = u"{A5CD32F0-8211-4EF1-8C92-767BF227A6DD}";
const std::u16string kModule = u"C:\\Program Files\\Tamsiver\\OrvoComm.dll";

// Script 101: the root and an empty pair of braces.
const std::u16string kModuleScript = u"HKCR\r\n{\r\n}\r\n";

const std::u16string kProgId = u"Tamsiver.CommonInterface.1";
const std::u16string kVersionIndependentProgId = u"Tamsiver.CommonInterface";

// Scripts 106 and 107, line by line, tab-indented by nesting depth. With
// |prog_ids| (106) the class's two ProgIDs come first, and its key names them.
std::u16string ClassScript(const std::u16string& clsid, const std::u16string& description,
                           bool prog_ids = false) {
  const std::u16string prog_id_keys =
      !prog_ids ? u""
                : u"\t" + kProgId + u" = s '" + description + u"'\r\n\t{\r\n\t\tCLSID = s '" +
                      clsid + u"'\r\n\t}\r\n\t" + kVersionIndependentProgId + u" = s '" +
                      description + u"'\r\n\t{\r\n\t\tCLSID = s '" + clsid +
                      u"'\r\n\t\tCurVer = s '" + kProgId + u"'\r\n\t}\r\n";
  const std::u16string prog_id_values =
      !prog_ids ? u""
                : u"\t\t\tProgID = s '" + kProgId + u"'\r\n\t\t\tVersionIndependentProgID = s '" +
                      kVersionIndependentProgId + u"'\r\n";
  return u"HKCR\r\n"
         u"{\r\n" +
         prog_id_keys +
         u"\tNoRemove CLSID\r\n"
         u"\t{\r\n"
         u"\t\tForceRemove " +
         clsid + u" = s '" + description +
         u"'\r\n"
         u"\t\t{\r\n" +
         prog_id_values +
         u"\t\t\tForceRemove Programmable\r\n"
         u"\t\t\tInprocServer32 = s '%MODULE%'\r\n"
         u"\t\t\t{\r\n"
         u"\t\t\t\tval ThreadingModel = s 'Apartment'\r\n"
         u"\t\t\t}\r\n"
         u"\t\t\tTypeLib = s '" +
         kLibId +
         u"'\r\n"
         u"\t\t\tVersion = s '1.0'\r\n"
         u"\t\t}\r\n"
         u"\t}\r\n"
         u"}\r\n";
}

Lines Sorted(Lines lines) {
  std::sort(lines.begin(), lines.end());
  return lines;
}

Lines Concat(Lines a, const Lines& b) {
  a.insert(a.end(), b.begin(), b.end());
  return Sorted(a);
}

// The entries one class leaves, relative to the classes root.
Lines ClassEntries(const std::u16string& clsid, const std::u16string& description,
                   const std::u16string& module = kModule, bool prog_ids = false) {
  const std::string key = "CLSID\\" + Narrow(clsid);
  Lines prog_id_entries;
  if (prog_ids) {
    const std::string versioned = Narrow(kProgId);
    const std::string independent = Narrow(kVersionIndependentProgId);
    prog_id_entries = {versioned,
                       versioned + " @=" + Narrow(description),
                       versioned + "\\CLSID",
                       versioned + "\\CLSID @=" + Narrow(clsid),
                       independent,
                       independent + " @=" + Narrow(description),
                       independent + "\\CLSID",
                       independent + "\\CLSID @=" + Narrow(clsid),
                       independent + "\\CurVer",
                       independent + "\\CurVer @=" + versioned,
                       key + "\\ProgID",
                       key + "\\ProgID @=" + versioned,
                       key + "\\VersionIndependentProgID",
                       key + "\\VersionIndependentProgID @=" + independent};
  }
  return Concat(
      prog_id_entries,
      {key, key + " @=" + Narrow(description), key + "\\InprocServer32",
       key + "\\InprocServer32 @=" + Narrow(module),
       key + "\\InprocServer32 ThreadingModel=Apartment", key + "\\Programmable", key + "\\TypeLib",
       key + "\\TypeLib @=" + Narrow(kLibId), key + "\\Version", key + "\\Version @=1.0"});
}

// Runs the scripts the way the module does: every run sees APPID and MODULE.
class ClassScriptsTest : public ::testing::Test {
 protected:
  ClassScriptsTest() {
    EXPECT_EQ(registrar_.AddReplacement(u"APPID", kAppId), kResultOk);
    EXPECT_EQ(registrar_.AddReplacement(u"MODULE", kModule), kResultOk);
  }

  const std::u16string common_ = ClassScript(kClsidCommon, u"ICommonInterface Class", true);
  const std::u16string tamsiver_ = ClassScript(kClsidTamsiver, u"TamsiverCommonInterface Class");
  const Lines common_entries_ =
      ClassEntries(kClsidCommon, u"ICommonInterface Class", kModule, true);
  const Lines tamsiver_entries_ = ClassEntries(kClsidTamsiver, u"TamsiverCommonInterface Class");

  // Everything the full registration leaves under the classes root.
  Lines AllEntries() const {
    return Concat(Concat(Lines{"CLSID"}, common_entries_), tamsiver_entries_);
  }

  Result RegisterAll() {
    ORVO_RETURN_IF_FAILED(registrar_.Register(kModuleScript));
    ORVO_RETURN_IF_FAILED(registrar_.Register(common_));
    return registrar_.Register(tamsiver_);
  }
  Result UnregisterAll() {
    ORVO_RETURN_IF_FAILED(registrar_.Unregister(common_));
    ORVO_RETURN_IF_FAILED(registrar_.Unregister(tamsiver_));
    return registrar_.Unregister(kModuleScript);
  }

  MemoryRegistry reg_;
  ScriptRegistrar registrar_{&reg_};
};

TEST_F(ClassScriptsTest, EachClassScriptWritesExactlyItsEntries) {
  ASSERT_EQ(registrar_.Register(common_), kResultOk);
  EXPECT_EQ(Dump(reg_, kHkcr), Concat(Lines{"CLSID"}, common_entries_));
  ASSERT_EQ(registrar_.Register(tamsiver_), kResultOk);
  EXPECT_EQ(Dump(reg_, kHkcr), AllEntries());
  // Nothing anywhere else: no AppID, no other root.
  for (int r = 1; r < kRegistryRootCount; ++r) {
    EXPECT_TRUE(Dump(reg_, static_cast<RegistryRoot>(r)).empty()) << r;
  }
}

TEST_F(ClassScriptsTest, ModuleScriptDoesNothing) {
  ASSERT_EQ(reg_.CreateKey(kHkcr, u"CLSID\\{Other}"), kResultOk);
  const Lines before = Dump(reg_, kHkcr);
  EXPECT_EQ(registrar_.Register(kModuleScript), kResultOk);
  EXPECT_EQ(Dump(reg_, kHkcr), before);
  EXPECT_EQ(registrar_.Unregister(kModuleScript), kResultOk);
  EXPECT_EQ(Dump(reg_, kHkcr), before);
}

TEST_F(ClassScriptsTest, RegisteringTwiceLeavesOneCleanSet) {
  ASSERT_EQ(RegisterAll(), kResultOk);
  const std::u16string key = u"CLSID\\" + kClsidCommon;
  ASSERT_EQ(reg_.SetStringValue(kHkcr, key, u"ByHand", u"x"), kResultOk);
  ASSERT_EQ(reg_.CreateKey(kHkcr, key + u"\\LocalServer32\\Deep"), kResultOk);
  ASSERT_EQ(reg_.SetStringValue(kHkcr, key + u"\\InprocServer32", u"Extra", u"y"), kResultOk);
  ASSERT_EQ(reg_.SetDefaultValue(kHkcr, key + u"\\Version", u"9.9"), kResultOk);
  ASSERT_EQ(reg_.DeleteTree(kHkcr, u"CLSID\\" + kClsidTamsiver + u"\\TypeLib"), kResultOk);
  ASSERT_EQ(reg_.CreateKey(kHkcr, u"CLSID\\{Other}"), kResultOk);
  ASSERT_EQ(RegisterAll(), kResultOk);
  EXPECT_EQ(Dump(reg_, kHkcr), Concat(AllEntries(), Lines{"CLSID\\{Other}"}));
}

TEST_F(ClassScriptsTest, UnregisterRemovesBothClassKeysAndLeavesClsid) {
  ASSERT_EQ(RegisterAll(), kResultOk);
  ASSERT_EQ(reg_.CreateKey(kHkcr, u"CLSID\\" + kClsidCommon + u"\\AddedLater"), kResultOk);
  ASSERT_EQ(UnregisterAll(), kResultOk);
  EXPECT_EQ(Dump(reg_, kHkcr), Lines{"CLSID"});
  // Other classes under CLSID are left alone.
  ASSERT_EQ(reg_.CreateKey(kHkcr, u"CLSID\\{Other}\\InprocServer32"), kResultOk);
  ASSERT_EQ(RegisterAll(), kResultOk);
  ASSERT_EQ(UnregisterAll(), kResultOk);
  EXPECT_EQ(Dump(reg_, kHkcr),
            (Lines{"CLSID", "CLSID\\{Other}", "CLSID\\{Other}\\InprocServer32"}));
  // Unregistering again finds nothing to remove and succeeds.
  ASSERT_EQ(UnregisterAll(), kResultOk);
  EXPECT_EQ(Dump(reg_, kHkcr),
            (Lines{"CLSID", "CLSID\\{Other}", "CLSID\\{Other}\\InprocServer32"}));
}

TEST_F(ClassScriptsTest, PerUserRegistrationGoesToTheUsersClasses) {
  registrar_.set_per_user(true);
  ASSERT_EQ(RegisterAll(), kResultOk);
  EXPECT_TRUE(Dump(reg_, kHkcr).empty());
  EXPECT_EQ(Dump(reg_, kHkcu, u"Software\\Classes"), AllEntries());
  ASSERT_EQ(UnregisterAll(), kResultOk);
  EXPECT_EQ(Dump(reg_, kHkcu),
            (Lines{"Software", "Software\\Classes", "Software\\Classes\\CLSID"}));
  EXPECT_TRUE(Dump(reg_, kHkcr).empty());
}

TEST_F(ClassScriptsTest, ModulePathIsWrittenAsItIs) {
  const std::u16string odd = u"D:\\Bob's {Tools} = s 'x'\\100%\\OrvoComm.dll";
  ASSERT_EQ(registrar_.AddReplacement(u"MODULE", odd), kResultOk);
  ASSERT_EQ(registrar_.Register(common_), kResultOk);
  EXPECT_EQ(
      Dump(reg_, kHkcr),
      Concat(Lines{"CLSID"}, ClassEntries(kClsidCommon, u"ICommonInterface Class", odd, true)));
}

TEST_F(ClassScriptsTest, WithoutModuleReplacementNothingIsWritten) {
  registrar_.ClearReplacements();
  ASSERT_EQ(registrar_.AddReplacement(u"APPID", kAppId), kResultOk);
  EXPECT_EQ(registrar_.Register(common_), kResultBadScript);
  EXPECT_TRUE(Dump(reg_, kHkcr).empty());
}

#ifdef ORVO_RESOURCES_DIR
// The scripts that ship as resources say the same as the texts above.
std::string ReadResource(const char* name) {
  std::ifstream in(std::string(ORVO_RESOURCES_DIR) + "/" + name, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

TEST_F(ClassScriptsTest, ShippedScriptsRegisterTheSameEntries) {
  const std::string module_script = ReadResource("OrvoComm.rgs");
  const std::string common = ReadResource("ICommonInterface.rgs");
  const std::string tamsiver = ReadResource("TamsiverCommonInterface.rgs");
  ASSERT_FALSE(module_script.empty());
  ASSERT_FALSE(common.empty());
  ASSERT_FALSE(tamsiver.empty());
  EXPECT_EQ(std::u16string(module_script.begin(), module_script.end()), kModuleScript);
  EXPECT_EQ(std::u16string(common.begin(), common.end()), common_);
  EXPECT_EQ(std::u16string(tamsiver.begin(), tamsiver.end()), tamsiver_);

  ASSERT_EQ(registrar_.RunAscii(module_script, true), kResultOk);
  ASSERT_EQ(registrar_.RunAscii(common, true), kResultOk);
  ASSERT_EQ(registrar_.RunAscii(tamsiver, true), kResultOk);
  EXPECT_EQ(Dump(reg_, kHkcr), AllEntries());
  ASSERT_EQ(registrar_.RunAscii(common, false), kResultOk);
  ASSERT_EQ(registrar_.RunAscii(tamsiver, false), kResultOk);
  ASSERT_EQ(registrar_.RunAscii(module_script, false), kResultOk);
  EXPECT_EQ(Dump(reg_, kHkcr), Lines{"CLSID"});
}
#endif

}  // namespace
}  // namespace orvo::registrar
