// Registry scripts written as installer table rows: each case runs a script
// through the registrar into a registry in memory and compares the rows.
#include "tools/msi_registry/wix_registry.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/result.h"
#include "server/registrar/memory_registry.h"
#include "server/registrar/script.h"

namespace orvo::msi {
namespace {

struct Case {
  const char* what;
  const char16_t* script;
  const char16_t* replacement;  // the value of %R%, or nullptr
  Result result;
  const char* rows;  // expected output when result is kResultOk
};

const Case kCases[] = {
    {"a class entry: default values, a named value, an empty key made and removed",
     u"HKCR { NoRemove CLSID { ForceRemove {C} = s 'A Class' { ForceRemove Programmable\n"
     u"  InprocServer32 = s '%R%' { val ThreadingModel = s 'Apartment' } } } }",
     u"[#OrvoComm.dll]", kResultOk,
     "<RegistryValue Root=\"HKCR\" Key=\"CLSID\\{C}\" Type=\"string\" Value=\"A Class\"/>\n"
     "<RegistryValue Root=\"HKCR\" Key=\"CLSID\\{C}\\InprocServer32\" Type=\"string\" "
     "Value=\"[#OrvoComm.dll]\"/>\n"
     "<RegistryValue Root=\"HKCR\" Key=\"CLSID\\{C}\\InprocServer32\" Name=\"ThreadingModel\" "
     "Type=\"string\" Value=\"Apartment\"/>\n"
     "<RegistryValue Root=\"HKCR\" Key=\"CLSID\\{C}\\Programmable\" Name=\"*\" Type=\"string\" "
     "Value=\"\"/>\n"},
    {"XML's special characters and UTF-8 (with a pair of surrogates)",
     u"HKLM { 'K&<>' { val 'n\"' = s '%R%' } }", u"a<b>&\"'\u00E4\u20AC\U0001F600", kResultOk,
     "<RegistryValue Root=\"HKLM\" Key=\"K&amp;&lt;&gt;\" Name=\"n&quot;\" Type=\"string\" "
     "Value=\"a&lt;b&gt;&amp;&quot;&apos;\xC3\xA4\xE2\x82\xAC\xF0\x9F\x98\x80\"/>\n"},
    {"data that begins with # stays a string", u"HKCU { K = s '#12' }", nullptr, kResultOk,
     "<RegistryValue Root=\"HKCU\" Key=\"K\" Type=\"string\" Value=\"##12\"/>\n"},
    {"the four roots in order; a key with subkeys only has no row",
     u"HKU { U = s 'u' } HKLM { L { M = s 'm' } } HKCU { C = s 'c' } HKCR { R = s 'r' }", nullptr,
     kResultOk,
     "<RegistryValue Root=\"HKCR\" Key=\"R\" Type=\"string\" Value=\"r\"/>\n"
     "<RegistryValue Root=\"HKCU\" Key=\"C\" Type=\"string\" Value=\"c\"/>\n"
     "<RegistryValue Root=\"HKLM\" Key=\"L\\M\" Type=\"string\" Value=\"m\"/>\n"
     "<RegistryValue Root=\"HKU\" Key=\"U\" Type=\"string\" Value=\"u\"/>\n"},
    {"HKCC has no table root", u"HKCC { K = s 'x' }", nullptr, kResultInvalidArg, ""},
    {"a value named * would be read as a key action", u"HKCR { K { val '*' = s 'x' } }", nullptr,
     kResultInvalidArg, ""},
    {"a value named - would be read as a key action", u"HKCR { K { val '-' = s 'x' } }", nullptr,
     kResultInvalidArg, ""},
};

TEST(WixRegistryTest, ScriptsBecomeTableRows) {
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.what);
    registrar::MemoryRegistry registry;
    registrar::ScriptRegistrar registrar(&registry);
    if (c.replacement != nullptr) {
      ASSERT_EQ(registrar.AddReplacement(u"R", c.replacement), kResultOk);
    }
    ASSERT_EQ(registrar.Register(c.script), kResultOk);
    std::string out;
    EXPECT_EQ(WriteWixRegistry(registry, &out), c.result);
    if (c.result == kResultOk) {
      EXPECT_EQ(out, c.rows);
    }
  }
}

}  // namespace
}  // namespace orvo::msi
