// Runs settool's editing commands (ls, get, set, rm, rename, protect) and
// checks the files they leave through the store itself.
#include <gtest/gtest.h>

#include <random>
#include <sstream>
#include <string>
#include <vector>

#ifndef _WIN32
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>
#endif

#include "platform/utf.h"
#include "store/config_file.h"
#include "store/key.h"
#include "store/name.h"
#include "store/ref.h"
#include "tests/store/record_bytes.h"
#include "tests/store/side_file_util.h"
#include "tests/testing/temp_dir.h"
#include "tests/tools/process.h"

using orvo::store::CfNameHash;
using orvo::store::CreateConfigFile;

namespace {

using orvo::testing::ProcessResult;
using orvo::testing::ReadWholeFile;
using orvo::testing::TempDir;
using orvo::testing::WriteWholeFile;

// A tree with a named section, two unnamed records under one id, a
// protected record and free attribute bits.
const char kTreeJson[] =
    "{\"name\": \"Root\", \"flags\": 0, \"value_hex\": \"\", \"children\": ["
    "{\"id\": 1448, \"node\": {\"name\": \"APP\", \"flags\": 0, \"value_hex\": \"\", "
    "\"children\": [{\"id\": 7, \"node\": {\"name\": \"\", \"flags\": 0, \"value_hex\": \"\", "
    "\"children\": [{\"id\": 3174, \"node\": {\"name\": \"Name\", \"flags\": 3, \"value_hex\": "
    "\"6100620000000000\", \"children\": []}}]}}, {\"id\": 7, \"node\": {\"name\": \"\", "
    "\"flags\": 17, \"value_hex\": \"20030000\", \"children\": []}}]}}, "
    "{\"id\": 1272, \"node\": {\"name\": \"q x\", \"flags\": 226, \"value_hex\": "
    "\"6869210000\", \"children\": []}}]}\n";

// What the store reads back for one key.
struct Stored {
  bool found = false;
  int type = -1;
  uint8_t attributes = 0;
  std::string value;
  std::vector<std::string> children;  // names (ASCII), in table order
};

std::string Ascii(ICfKey* key) {
  CfChar buf[256];
  const int32_t n = key->GetName(buf, 256);
  std::string s;
  for (int32_t i = 0; i < n; ++i) s += static_cast<char>(buf[i]);
  return s;
}

class EditCommandsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir_.ok());
    std::error_code ec;
    std::filesystem::create_directory(dir_.NativePath(u"io"), ec);
  }

  std::string Path(const std::u16string& name) {
    return orvo::platform::Utf16ToUtf8(dir_.Path(name), orvo::platform::LoneSurrogate::kReplace);
  }
  std::string Bytes(const std::u16string& name) { return ReadWholeFile(dir_.NativePath(name)); }
  bool Exists(const std::u16string& name) {
    std::error_code ec;
    return std::filesystem::exists(dir_.NativePath(name), ec);
  }
  ProcessResult Run(const std::vector<std::string>& args, const std::string& input = "") {
    ProcessResult r = orvo::testing::RunProcess(SETTOOL_PATH, args, input, Path(u"io"));
    EXPECT_TRUE(r.started);
    return r;
  }
  // The file a.set made from kTreeJson.
  void BuildSample() {
    const ProcessResult r = Run({"build", Path(u"a.set")}, kTreeJson);
    ASSERT_EQ(r.exit_code, 0) << r.err;
  }
  // Reads |key_path| of |file| through the store.
  Stored Read(const std::u16string& file, const std::u16string& key_path) {
    Stored s;
    auto config = CfRef<CConfigFile>::Adopt(CreateConfigFile(dir_.Path(file).c_str(), 3));
    if (!config) return s;
    auto key = CfRef<ICfKey>::Adopt(config->OpenKey(key_path.c_str(), false));
    if (!key) return s;
    s.found = true;
    s.type = key->GetType();
    s.attributes = key->GetAttributes();
    s.value.assign(static_cast<size_t>(key->GetValueLength()), '\0');
    key->GetValue(&s.value[0], static_cast<int32_t>(s.value.size()));
    for (auto child = CfRef<ICfKey>::Adopt(key->GetFirstChild()); child;
         child.attach(child->GetNextSibling())) {
      s.children.push_back(Ascii(child.get()));
    }
    return s;
  }

  TempDir dir_;
};

TEST_F(EditCommandsTest, SetThenGetEachType) {
  const std::string euro = "\xe2\x82\xac";
  struct Case {
    std::vector<std::string> value_args;
    int type;
    std::string bytes;
    std::string shown;
  } cases[] = {
      {{"--wstring", "h" + euro + "!"},
       3,
       std::string("h\0\xac\x20!\0\0\0", 8),
       "wstring \"h" + euro + "!\""},
      {{"--wstring", ""}, 3, std::string(2, '\0'), "wstring \"\""},
      {{"--wstring", "A"}, 3, std::string("A\0\0\0", 4), "wstring \"A\""},
      {{"--string", "a\"b"}, 2, std::string("a\"b\0", 4), "string \"a\\\"b\" (int 6431329)"},
      {{"--string", euro},
       2,
       euro + std::string(1, '\0'),
       "string \"\\xe2\\x82\\xac\" (int 11305698)"},
      {{"--int", "800"}, 1, std::string("\x20\x03\0\0", 4), "binary 20 03 00 00 (int 800)"},
      {{"--int", "-2147483648"},
       1,
       std::string("\0\0\0\x80", 4),
       "binary 00 00 00 80 (int -2147483648)"},
      {{"--int", "0xFFFFFFFF"}, 1, std::string(4, '\xff'), "binary ff ff ff ff (int -1)"},
      {{"--int", "4294967295"}, 1, std::string(4, '\xff'), "binary ff ff ff ff (int -1)"},
      {{"--hex", "01 02ff"}, 1, std::string("\x01\x02\xff", 3), "binary 01 02 ff"},
      {{"--hex", ""}, 1, "", "binary"},
      {{"--none"}, 0, "", "none"},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args = {"set", Path(u"v.set"), "K"};
    args.insert(args.end(), c.value_args.begin(), c.value_args.end());
    ProcessResult r = Run(args);
    ASSERT_EQ(r.exit_code, 0) << c.value_args[0] << ": " << r.err;
    EXPECT_EQ(r.out, "");
    const Stored s = Read(u"v.set", u"K");
    ASSERT_TRUE(s.found);
    EXPECT_EQ(s.type, c.type) << c.value_args[0];
    EXPECT_EQ(s.value, c.bytes) << c.value_args[0];
    r = Run({"get", Path(u"v.set"), "K"});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.out, c.shown + "\n");
  }
}

TEST_F(EditCommandsTest, SetMakesTheFileAndTheMissingKeysOnThePath) {
  ASSERT_FALSE(Exists(u"new.set"));
  ProcessResult r = Run({"set", Path(u"new.set"), "A/B\\C", "--int", "5"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(Read(u"new.set", u"").children, std::vector<std::string>{"A"});
  for (const char16_t* plain : {u"A", u"A/B"}) {
    const Stored s = Read(u"new.set", plain);
    ASSERT_TRUE(s.found);
    EXPECT_EQ(s.type, 0);
    EXPECT_EQ(s.value, "");
  }
  EXPECT_EQ(Read(u"new.set", u"A\\B/C").value, std::string("\x05\0\0\0", 4));
  // An existing key: its value is replaced; keys are found in any letter
  // case and a trailing separator is accepted.
  ASSERT_EQ(Run({"set", Path(u"new.set"), "a/b/", "--wstring", "xy"}).exit_code, 0);
  EXPECT_EQ(Read(u"new.set", u"A/B").value, std::string("x\0y\0\0\0", 6));
  EXPECT_EQ(Read(u"new.set", u"A/B").children, std::vector<std::string>{"C"});
  EXPECT_EQ(Read(u"new.set", u"A").children, std::vector<std::string>{"B"});
  EXPECT_EQ(Run({"check", Path(u"new.set")}).exit_code, 0);
}

TEST_F(EditCommandsTest, LsListsChildrenWithTypeAttributesAndLength) {
  BuildSample();
  ProcessResult r = Run({"ls", Path(u"a.set")});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.out,
            "\"q x\" string attr=0xe0 5 bytes\n"
            "\"APP\" none 0 bytes\n");
  r = Run({"ls", Path(u"a.set"), "app"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.out,
            "#7 none 0 bytes\n"
            "#7[2] binary attr=0x10 protected 4 bytes\n");
  r = Run({"ls", Path(u"a.set"), "q x"});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.out, "");
  r = Run({"get", Path(u"a.set"), "q x"});
  EXPECT_EQ(r.out, "string \"hi!\\x00\"\n");
  r = Run({"ls", Path(u"a.set"), "APP/none"});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_NE(r.err.find("a.set: APP/none: no such key"), std::string::npos) << r.err;
}

// Every key that ls shows can be named back: unnamed keys by child id and
// occurrence, a name of that form with one more # in front. Each step runs
// on the file the steps before it left.
TEST_F(EditCommandsTest, KeysNamedByChildIdAndOccurrence) {
  BuildSample();
  struct Step {
    std::vector<std::string> args;  // after the file
    int exit_code;
    const char* out;  // exact output, or null: not checked
  };
  const Step steps[] = {
      {{"dump", "APP/#7[2]"}, 0, "#7[2] binary attr=0x10 protected 20 03 00 00 (int 800)\n"},
      {{"dump", "app/#7", "--json"},
       0,
       "{\"name\": \"\", \"flags\": 0, \"value_hex\": \"\", \"children\": [{\"id\": 3174, "
       "\"node\": {\"name\": \"Name\", \"flags\": 3, \"value_hex\": \"6100620000000000\", "
       "\"children\": []}}]}\n"},
      {{"dump", "APP/#8"}, 1, ""},
      {{"ls", "-r"},
       0,
       "\"q x\" string attr=0xe0 5 bytes\n\"APP\" none 0 bytes\n\"APP/#7\" none 0 bytes\n"
       "\"APP/#7/Name\" wstring 8 bytes\n\"APP/#7[2]\" binary attr=0x10 protected 4 bytes\n"},
      {{"ls", "app", "--json"},
       0,
       "[{\"path\": \"APP/#7\", \"id\": 7, \"node\": {\"name\": \"\", \"flags\": 0, \"value_hex\": "
       "\"\"}}, {\"path\": \"APP/#7[2]\", \"id\": 7, \"node\": {\"name\": \"\", \"flags\": 17, "
       "\"int\": 800}}]\n"},
      {{"export", "APP/#7[2]"},
       0,
       "{\"name\": \"Root\", \"children\": [{\"id\": 1448, \"node\": {\"name\": \"APP\", "
       "\"children\": [{\"id\": 7, \"node\": {\"name\": \"\"}}, {\"id\": 7, \"node\": {\"name\": "
       "\"\", \"flags\": 17, \"int\": 800, \"children\": []}}]}}]}\n"},
      {{"get", "APP", "--raw", "--json"}, 2, ""},
      {{"get", "APP/#7[2]"}, 0, "binary 20 03 00 00 (int 800)\n"},
      {{"get", "app/#7[1]/NAME"}, 0, nullptr},
      {{"get", "APP/#7/Name"}, 0, nullptr},
      {{"get", "APP/#7[3]"}, 1, ""},
      {{"get", "APP/#7[0]"}, 1, ""},  // a name, and there is no such key
      {{"get", "APP/#8"}, 1, ""},
      {{"ls", "APP/#7"}, 0, "\"Name\" wstring 8 bytes\n"},
      {{"set", "APP/#7/Name", "--wstring", "z"}, 0, ""},
      {{"get", "APP/#7/Name"}, 0, "wstring \"z\"\n"},
      {{"set", "APP/#7[3]/Name", "--wstring", "z"}, 1, ""},  // never made
      {{"set", "APP/#7[2]", "--int", "5"}, 1, ""},           // protected
      {{"rm", "APP/#7[2]"}, 1, ""},
      {{"protect", "APP/#7[2]", "off"}, 0, ""},
      {{"set", "APP/#7[2]", "--int", "5"}, 0, ""},
      {{"get", "APP/#7[2]"}, 0, "binary 05 00 00 00 (int 5)\n"},
      {{"protect", "APP/#7", "on"}, 0, ""},
      {{"ls", "APP"}, 0, "#7 none attr=0x10 protected 0 bytes\n#7[2] binary 4 bytes\n"},
      {{"rm", "APP/#7[2]"}, 0, ""},
      {{"ls", "APP"}, 0, "#7 none attr=0x10 protected 0 bytes\n"},
      {{"set", "X/##7[2]", "--wstring", "h"}, 0, ""},
      {{"ls", "X"}, 0, "\"#7[2]\" wstring 4 bytes\n"},
      {{"get", "x/##7[2]"}, 0, "wstring \"h\"\n"},
      {{"get", "x/##7[2]", "--raw"}, 0, "h\n"},
      {{"set", "X/8", "--string", "\xc3\xa9"}, 0, ""},
      {{"get", "X/8", "--raw"}, 0, "\xc3\xa9\n"},
      {{"get", "X/8", "--json"}, 0, "{\"name\": \"8\", \"flags\": 2, \"string\": \"\xc3\xa9\"}\n"},
      {{"ls", "-r", "X", "--json"},
       0,
       "[{\"path\": \"X/8\", \"id\": 112, \"node\": {\"name\": \"8\", \"flags\": 2, \"string\": "
       "\"\xc3\xa9\"}}, {\"path\": \"X/##7[2]\", \"id\": 3114, \"node\": {\"name\": \"#7[2]\", "
       "\"flags\": 3, \"wstring\": \"h\"}}]\n"},
      {{"rename", "X/##7[2]", "#1"}, 0, ""},
      {{"get", "X/##1"}, 0, "wstring \"h\"\n"},
      {{"get", "X/#1"}, 1, ""},
  };
  for (const Step& step : steps) {
    std::vector<std::string> args = {step.args[0], Path(u"a.set")};
    args.insert(args.end(), step.args.begin() + 1, step.args.end());
    std::string trace;
    for (const std::string& a : step.args) trace += a + " ";
    SCOPED_TRACE(trace);
    const ProcessResult r = Run(args);
    EXPECT_EQ(r.exit_code, step.exit_code) << r.err;
    if (step.out != nullptr) {
      EXPECT_EQ(r.out, step.out);
    }
  }
  EXPECT_EQ(Run({"check", Path(u"a.set")}).exit_code, 0);
}

// export writes a subtree from the root down; import puts it back into a
// copy that lost or changed parts of it, leaving what lies outside it (the
// keys on the way are bare) and refusing to change a protected key.
TEST_F(EditCommandsTest, ExportThenImportIntoACopyGivesTheSameSubtree) {
  BuildSample();
  const std::string original = Bytes(u"a.set");
  const struct Case {
    const char* path;
    std::vector<std::vector<std::string>> changes;  // made to the copy, after the file
    int code;                                       // of the import
    const char* kept_path;                          // outside the subtree: as the copy has it
    const char* kept;
  } cases[] = {
      {"APP/#7[2]",
       {{"protect", "APP/#7[2]", "off"},
        {"set", "APP/#7[2]", "--wstring", "x"},
        {"set", "APP", "--int", "3"}},
       0,
       "APP",
       "binary 03 00 00 00 (int 3)\n"},
      {"APP/#7",
       {{"rm", "APP/#7/Name"}, {"set", "q x", "--int", "1"}},
       0,
       "q x",
       "binary 01 00 00 00 (int 1)\n"},
      {"q x", {{"set", "q x", "--wstring", "y"}}, 0, nullptr, nullptr},
      {"", {{"rm", "q x"}, {"set", "APP/#7/Name", "--none"}}, 0, nullptr, nullptr},
      // Protected in the copy with another value: refused, nothing saved.
      {"APP/#7[2]",
       {{"protect", "APP/#7[2]", "off"},
        {"set", "APP/#7[2]", "--int", "1"},
        {"protect", "APP/#7[2]", "on"}},
       1,
       nullptr,
       nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    ASSERT_TRUE(WriteWholeFile(dir_.NativePath(u"c.set"), original));
    std::filesystem::remove(dir_.NativePath(u"e.json"));
    for (const std::vector<std::string>& change : c.changes) {
      std::vector<std::string> args = {change[0], Path(u"c.set")};
      args.insert(args.end(), change.begin() + 1, change.end());
      ASSERT_EQ(Run(args).exit_code, 0) << change[0] << " " << change[1];
    }
    ASSERT_EQ(Run({"export", Path(u"a.set"), c.path, Path(u"e.json")}).exit_code, 0);
    const std::string changed = Bytes(u"c.set");
    ProcessResult r = Run({"import", Path(u"c.set"), Path(u"e.json")});
    EXPECT_EQ(r.exit_code, c.code) << r.err;
    if (c.code != 0) {
      EXPECT_NE(r.err.find("APP/#7[2]: the key is protected; nothing imported"), std::string::npos)
          << r.err;
      EXPECT_EQ(Bytes(u"c.set"), changed);
      continue;
    }
    EXPECT_EQ(Run({"dump", Path(u"c.set"), c.path, "--json"}).out,
              Run({"dump", Path(u"a.set"), c.path, "--json"}).out);
    if (c.kept_path != nullptr) {
      EXPECT_EQ(Run({"get", Path(u"c.set"), c.kept_path}).out, c.kept);
    }
    // Once more: nothing to change, nothing written.
    const std::string imported = Bytes(u"c.set");
    r = Run({"import", Path(u"c.set"), Path(u"e.json")});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_NE(r.out.find(": 0 added, 0 changed,"), std::string::npos) << r.out;
    EXPECT_EQ(Bytes(u"c.set"), imported);
  }
  // Refusals change nothing and make nothing.
  const std::string before = Bytes(u"a.set");
  const struct {
    std::string json;
    int code;
    const char* err_has;
  } refusals[] = {
      {"{\"name\": \"Root\",\n \"flags\": 300}", 1, "a.set: input line 2, column 11"},
      {"{\"name\": \"APP\"}", 1, "the JSON's root is \"APP\", the file's \"Root\""},
      {"{\"name\": \"Root\", \"int\": 1}", 1, "the root key: its value and attributes"},
  };
  for (const auto& c : refusals) {
    ProcessResult r = Run({"import", Path(u"a.set"), "-"}, c.json);
    EXPECT_EQ(r.exit_code, c.code) << c.json;
    EXPECT_NE(r.err.find(c.err_has), std::string::npos) << r.err;
    EXPECT_EQ(Bytes(u"a.set"), before);
  }
  EXPECT_EQ(Run({"import", Path(u"new.set"), Path(u"e.json")}).exit_code, 2);
  EXPECT_EQ(Run({"export", Path(u"a.set"), "APP", Path(u"e.json")}).exit_code, 2);  // exists
  EXPECT_EQ(Run({"export", Path(u"a.set"), "APP/#9", Path(u"f.json")}).exit_code, 1);
  EXPECT_FALSE(Exists(u"new.set"));
  EXPECT_FALSE(Exists(u"f.json"));
}

TEST_F(EditCommandsTest, RmRemovesTheSubtree) {
  BuildSample();
  ASSERT_EQ(Run({"set", Path(u"a.set"), "X/Y/Z", "--none"}).exit_code, 0);
  ASSERT_EQ(Run({"set", Path(u"a.set"), "X/W", "--none"}).exit_code, 0);
  ProcessResult r = Run({"rm", Path(u"a.set"), "X\\Y"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_FALSE(Read(u"a.set", u"X/Y").found);
  EXPECT_EQ(Read(u"a.set", u"X").children, std::vector<std::string>{"W"});
  EXPECT_TRUE(Read(u"a.set", u"q x").found);

  const std::string before = Bytes(u"a.set");
  r = Run({"rm", Path(u"a.set"), "X/Y"});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_NE(r.err.find("X/Y: no such key"), std::string::npos) << r.err;
  r = Run({"rm", Path(u"a.set"), ""});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_NE(r.err.find("the root key cannot be removed"), std::string::npos) << r.err;
  EXPECT_EQ(Bytes(u"a.set"), before);
}

TEST_F(EditCommandsTest, RenameRefusesATakenNameAndLeavesTheFile) {
  BuildSample();
  ASSERT_EQ(Run({"set", Path(u"a.set"), "Width", "--int", "1"}).exit_code, 0);
  const std::string before = Bytes(u"a.set");
  struct Refusal {
    std::vector<std::string> args;
    int code;
    const char* err_has;
  } refusals[] = {
      {{"Width", "app"}, 1, "Width: the name \"app\" is taken"},
      {{"Width", "Q X"}, 1, "the name \"Q X\" is taken"},
      {{"Width", "a<b"}, 1, "invalid name \"a<b\": a name cannot hold < or >"},
      {{"Width", "a/b"}, 1, "a name cannot hold \\ or /"},
      {{"Width", std::string(256, 'n')}, 1, "a name has at most 255 characters"},
      {{"", "Top"}, 1, "the root key cannot be renamed"},
      {{"Nothing", "Top"}, 1, "Nothing: no such key"},
      {{"Width", ""}, 1, "a name must not be empty"},
  };
  for (const Refusal& c : refusals) {
    ProcessResult r = Run({"rename", Path(u"a.set"), c.args[0], c.args[1]});
    EXPECT_EQ(r.exit_code, c.code) << c.args[1];
    EXPECT_NE(r.err.find(c.err_has), std::string::npos) << r.err;
    EXPECT_EQ(Bytes(u"a.set"), before) << c.args[1];
  }

  ProcessResult r = Run({"rename", Path(u"a.set"), "Width", "Height"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_FALSE(Read(u"a.set", u"Width").found);
  EXPECT_EQ(Read(u"a.set", u"Height").value, std::string("\x01\0\0\0", 4));
  // A change of letter case only (also of a name of the greatest length),
  // and renaming a branch with its children.
  const std::string longest(255, 'l');
  ASSERT_EQ(Run({"set", Path(u"a.set"), longest, "--none"}).exit_code, 0);
  ASSERT_EQ(Run({"rename", Path(u"a.set"), longest, longest.substr(1) + "L"}).exit_code, 0);
  EXPECT_TRUE(Read(u"a.set", u"").children.back() == longest.substr(1) + "L");
  ASSERT_EQ(Run({"rm", Path(u"a.set"), longest}).exit_code, 0);
  ASSERT_EQ(Run({"rename", Path(u"a.set"), "APP", "App"}).exit_code, 0);
  EXPECT_EQ(Read(u"a.set", u"").children, (std::vector<std::string>{"q x", "App", "Height"}));
  ASSERT_EQ(Run({"rename", Path(u"a.set"), "App", "Programs"}).exit_code, 0);
  const Stored programs = Read(u"a.set", u"Programs");
  EXPECT_EQ(programs.children.size(), 2u);
  EXPECT_EQ(Read(u"a.set", u"Programs").type, 0);
}

TEST_F(EditCommandsTest, ProtectedKeyRefusesChangesUntilUnprotected) {
  ASSERT_EQ(Run({"set", Path(u"p.set"), "S/K", "--int", "1"}).exit_code, 0);
  ASSERT_EQ(Run({"protect", Path(u"p.set"), "S/K", "on"}).exit_code, 0);
  EXPECT_EQ(Read(u"p.set", u"S/K").attributes, 0x10);
  const std::string protected_file = Bytes(u"p.set");
  struct Refusal {
    std::vector<std::string> args;
    const char* err_has;
  } refusals[] = {
      {{"set", Path(u"p.set"), "S/K", "--int", "2"}, "S/K: the key is protected"},
      {{"rm", Path(u"p.set"), "S/K"}, "S/K: the key is protected"},
      {{"rm", Path(u"p.set"), "S"}, "S: a key below it is protected"},
      {{"rename", Path(u"p.set"), "S/K", "L"}, "S/K: the key is protected"},
  };
  for (const Refusal& c : refusals) {
    ProcessResult r = Run(c.args);
    EXPECT_EQ(r.exit_code, 1) << c.args[0];
    EXPECT_NE(r.err.find(c.err_has), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("p.set"), std::string::npos) << r.err;
    EXPECT_EQ(Bytes(u"p.set"), protected_file) << c.args[0];
  }
  // Protecting again changes nothing; children can still be added.
  EXPECT_EQ(Run({"protect", Path(u"p.set"), "S/K", "on"}).exit_code, 0);
  EXPECT_EQ(Bytes(u"p.set"), protected_file);
  ASSERT_EQ(Run({"set", Path(u"p.set"), "S/K/Sub", "--none"}).exit_code, 0);

  ASSERT_EQ(Run({"protect", Path(u"p.set"), "S/K", "off"}).exit_code, 0);
  EXPECT_EQ(Read(u"p.set", u"S/K").attributes, 0);
  ASSERT_EQ(Run({"set", Path(u"p.set"), "S/K", "--int", "2"}).exit_code, 0);
  EXPECT_EQ(Read(u"p.set", u"S/K").value, std::string("\x02\0\0\0", 4));
  ASSERT_EQ(Run({"rm", Path(u"p.set"), "S"}).exit_code, 0);
  EXPECT_TRUE(Read(u"p.set", u"").children.empty());
}

TEST_F(EditCommandsTest, EditsKeepTheOtherAttributeBits) {
  BuildSample();
  ASSERT_EQ(Run({"protect", Path(u"a.set"), "q x", "on"}).exit_code, 0);
  EXPECT_EQ(Read(u"a.set", u"q x").attributes, 0xF0);
  ASSERT_EQ(Run({"protect", Path(u"a.set"), "q x", "off"}).exit_code, 0);
  EXPECT_EQ(Read(u"a.set", u"q x").attributes, 0xE0);
  EXPECT_EQ(Read(u"a.set", u"q x").value, std::string("hi!\0\0", 5));
  // A longer value and a new name both need a new record.
  ASSERT_EQ(Run({"set", Path(u"a.set"), "q x", "--wstring", "a longer value"}).exit_code, 0);
  EXPECT_EQ(Read(u"a.set", u"q x").attributes, 0xE0);
  EXPECT_EQ(Read(u"a.set", u"q x").type, 3);
  ASSERT_EQ(Run({"set", Path(u"a.set"), "q x", "--int", "1"}).exit_code, 0);
  EXPECT_EQ(Read(u"a.set", u"q x").attributes, 0xE0);
  ASSERT_EQ(Run({"rename", Path(u"a.set"), "q x", "Q Y"}).exit_code, 0);
  EXPECT_EQ(Read(u"a.set", u"Q Y").attributes, 0xE0);
  EXPECT_EQ(Read(u"a.set", u"Q Y").value, std::string("\x01\0\0\0", 4));
}

TEST_F(EditCommandsTest, InvalidNamesAndValuesAreRefused) {
  ASSERT_EQ(Run({"set", Path(u"n.set"), "Keep", "--none"}).exit_code, 0);
  const std::string before = Bytes(u"n.set");
  const std::string euro = "\xe2\x82\xac";
  std::string fits;  // 65534 bytes of UTF-8 and the NUL
  for (int i = 0; i < 21844; ++i) fits += euro;
  fits += "ab";
  struct Case {
    std::vector<std::string> args;
    int code;
    const char* err_has;
  } cases[] = {
      {{"A<B", "--none"}, 1, "invalid name \"A<B\": a name cannot hold < or >"},
      {{"A/B>", "--none"}, 1, "invalid name \"B>\""},
      {{"A/" + std::string(256, 'x'), "--none"}, 1, "a name has at most 255 characters"},
      {{"", "--int", "1"}, 1, "the root key cannot hold a value"},
      {{"Big", "--string", fits + "c"}, 1, "value too long: 65536 bytes"},
      {{"A//B", "--none"}, 2, "empty name in the path A//B"},
      {{"/A", "--none"}, 2, "empty name in the path /A"},
      {{"A", "--int", "4294967296"}, 2, "--int takes a 32-bit integer"},
      {{"A", "--int", "-2147483649"}, 2, "--int takes a 32-bit integer"},
      {{"A", "--int", "12ab"}, 2, "--int takes a 32-bit integer"},
      {{"A", "--hex", "123"}, 2, "--hex takes pairs of hex digits"},
      {{"A", "--hex", "0g"}, 2, "--hex takes pairs of hex digits"},
      {{"A"}, 2, "no value given"},
      {{"A", "--int", "1", "--none"}, 2, "one value only"},
      {{"A", "--int"}, 2, "--int needs a value"},
      {{"A", "--float", "1"}, 2, "unknown option --float"},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args = {"set", Path(u"n.set")};
    args.insert(args.end(), c.args.begin(), c.args.end());
    ProcessResult r = Run(args);
    EXPECT_EQ(r.exit_code, c.code) << c.args[0].substr(0, 40);
    EXPECT_NE(r.err.find(c.err_has), std::string::npos) << r.err.substr(0, 300);
    EXPECT_EQ(Bytes(u"n.set"), before);
  }
  // The longest value that fits is stored.
  ProcessResult r = Run({"set", Path(u"n.set"), "Big", "--string", fits});
  ASSERT_EQ(r.exit_code, 0) << r.err.substr(0, 300);
  EXPECT_EQ(Read(u"n.set", u"Big").value.size(), 65535u);
}

TEST_F(EditCommandsTest, MissingFilesAndUsageErrors) {
  struct Case {
    std::vector<std::string> args;
    int code;
    const char* err_has;
  } cases[] = {
      {{"ls", Path(u"missing.set")}, 2, "missing.set: cannot open: no such file"},
      {{"get", Path(u"missing.set"), "A"}, 2, "missing.set: cannot open: no such file"},
      {{"rm", Path(u"missing.set"), "A"}, 2, "missing.set: cannot open: no such file"},
      {{"rename", Path(u"missing.set"), "A", "B"}, 2, "missing.set: cannot open: no such file"},
      {{"protect", Path(u"missing.set"), "A", "on"}, 2, "missing.set: cannot open: no such file"},
      {{"ls"}, 2, "no file given"},
      {{"get", Path(u"missing.set")}, 2, "too few arguments"},
      {{"get", Path(u"missing.set"), "A", "B"}, 2, "too many arguments (extra: B)"},
      {{"rm", "--force", Path(u"missing.set"), "A"}, 2, "unknown option --force"},
      {{"protect", Path(u"missing.set"), "A", "yes"}, 2, "the last argument is on or off"},
  };
  for (const Case& c : cases) {
    ProcessResult r = Run(c.args);
    EXPECT_EQ(r.exit_code, c.code) << c.args[0];
    EXPECT_NE(r.err.find(c.err_has), std::string::npos) << r.err;
    EXPECT_EQ(r.out, "");
  }
  EXPECT_FALSE(Exists(u"missing.set"));
  // "--" ends the options: a key named with a leading dash.
  ASSERT_EQ(Run({"set", "--", Path(u"d.set"), "-k", "--int", "3"}).exit_code, 2);
  ASSERT_EQ(Run({"set", Path(u"d.set"), "--int", "3", "--", "-k"}).exit_code, 0);
  EXPECT_EQ(Read(u"d.set", u"-k").value, std::string("\x03\0\0\0", 4));
}

TEST_F(EditCommandsTest, FilesThatWouldNotLoadAreNotChanged) {
  BuildSample();
  std::string interrupted = Bytes(u"a.set");
  interrupted[8] = 1;  // commit marks differ
  ASSERT_TRUE(WriteWholeFile(dir_.NativePath(u"i.set"), interrupted));
  ASSERT_TRUE(WriteWholeFile(dir_.NativePath(u"t.set"), "some text"));
  // A record that cannot be read: keys after it would be lost by a save.
  std::string damaged = Bytes(u"a.set");
  const size_t app = damaged.find(std::string("A\0P\0P\0", 6));
  ASSERT_NE(app, std::string::npos);
  damaged[app] = '<';
  damaged[4] = 0x04;  // a version without a checksum test
  ASSERT_TRUE(WriteWholeFile(dir_.NativePath(u"d.set"), damaged));
  for (const char16_t* f : {u"i.set", u"t.set", u"d.set"}) {
    const std::string before = Bytes(f);
    for (const std::vector<std::string>& edit :
         std::vector<std::vector<std::string>>{{"set", Path(f), "New", "--none"},
                                               {"rm", Path(f), "q x"},
                                               {"protect", Path(f), "q x", "on"},
                                               {"rename", Path(f), "q x", "y"}}) {
      ProcessResult r = Run(edit);
      EXPECT_EQ(r.exit_code, 1) << edit[0] << " " << edit[1];
      EXPECT_NE(r.err.find("not changed"), std::string::npos) << r.err;
      EXPECT_EQ(Bytes(f), before);
    }
  }
  ProcessResult r = Run({"ls", Path(u"i.set")});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_NE(r.err.find("would open as a new tree: the commit marks differ"), std::string::npos)
      << r.err;
  // Reading shows the keys before the damaged record ("q x" comes first by
  // id), with a note; editing refused above, as a save would drop "APP".
  r = Run({"ls", Path(u"d.set")});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.out, "\"q x\" string attr=0xe0 5 bytes\n");
  EXPECT_NE(r.err.find("note: reading stopped at body offset"), std::string::npos) << r.err;
  // An empty file is a new tree: nothing to lose.
  ASSERT_TRUE(WriteWholeFile(dir_.NativePath(u"e.set"), ""));
  r = Run({"set", Path(u"e.set"), "K", "--int", "9"});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(Read(u"e.set", u"K").value, std::string("\x09\0\0\0", 4));
}

TEST_F(EditCommandsTest, NoCrashOnDamagedFiles) {
  BuildSample();
  const std::string good = Bytes(u"a.set");
  std::mt19937 rng(777);
  for (int i = 0; i < 8; ++i) {
    std::string bytes = good;
    for (int k = 0; k < 3; ++k) {
      bytes[512 + rng() % (bytes.size() - 512)] ^= static_cast<char>(1 + rng() % 255);
    }
    bytes[4] = 0x04;  // no checksum test: the damage reaches the reader
    ASSERT_TRUE(WriteWholeFile(dir_.NativePath(u"x.set"), bytes));
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {"ls", Path(u"x.set"), "APP"}, {"rm", Path(u"x.set"), "q x"}}) {
      ProcessResult r = Run(args);
      EXPECT_TRUE(r.exit_code == 0 || r.exit_code == 1) << args[0] << " " << i << ": " << r.err;
    }
  }
}

#ifndef _WIN32
TEST_F(EditCommandsTest, SaveFailureIsReportedAndTheFileKept) {
  BuildSample();
  const std::string before = Bytes(u"a.set");
  // A reader's lock makes the writer's exclusive open fail.
  const int fd = open(Path(u"a.set").c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(flock(fd, LOCK_SH), 0);
  ProcessResult r = Run({"set", Path(u"a.set"), "K", "--int", "1"});
  close(fd);
  EXPECT_EQ(r.exit_code, 2);
  EXPECT_NE(r.err.find("a.set: cannot write the file"), std::string::npos) << r.err;
  EXPECT_EQ(Bytes(u"a.set"), before);
}
#endif

}  // namespace

// The tool reads a file as the store opens it: a save caught in flight is
// recovered from its side file by every command, and an edit completes the
// recovery.
TEST_F(EditCommandsTest, AFileCaughtMidSaveIsReadAsTheStoreReadsIt) {
  BuildSample();
  const std::string listing = Run({"ls", Path(u"a.set")}).out;
  ASSERT_TRUE(orvo::testing::CatchMidSave(dir_.NativePath(u"a.set"), Bytes(u"a.set").size() - 1));

  ProcessResult r = Run({"check", Path(u"a.set")});
  EXPECT_EQ(r.exit_code, 0) << r.out;
  EXPECT_NE(r.out.find("the file was caught mid-save"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("the store loads that save's image from " + Path(u"a.set") + ".new"),
            std::string::npos)
      << r.out;
  // The keys of the copy the store loads, not of the file on disk.
  EXPECT_NE(r.out.find("(in " + Path(u"a.set") + ".new, the copy the store loads)"),
            std::string::npos)
      << r.out;
  EXPECT_EQ(r.out.find("(loaded)"), std::string::npos) << r.out;
  r = Run({"ls", Path(u"a.set")});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.out, listing);
  EXPECT_EQ(Run({"dump", Path(u"a.set")}).exit_code, 0);

  // An edit that changes nothing still completes the recovery it announces.
  const std::string caught = Bytes(u"a.set");
  r = Run({"protect", Path(u"a.set"), "APP", "off"});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_NE(r.err.find("saving completes the recovery"), std::string::npos) << r.err;
  EXPECT_NE(Bytes(u"a.set"), caught);
  r = Run({"check", Path(u"a.set")});
  EXPECT_NE(r.out.find("store loads:  the store loads the file\n"), std::string::npos) << r.out;
  ASSERT_TRUE(orvo::testing::CatchMidSave(dir_.NativePath(u"a.set"), Bytes(u"a.set").size() - 1));

  r = Run({"set", Path(u"a.set"), "Added", "--int", "7"});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_NE(r.err.find("saving completes the recovery"), std::string::npos) << r.err;
  r = Run({"check", Path(u"a.set")});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_NE(r.out.find("store loads:  the store loads the file\n"), std::string::npos) << r.out;
  EXPECT_TRUE(Read(u"a.set", u"Added").found);
  EXPECT_FALSE(Exists(u"a.set.old"));  // a save's own unfinished work is not kept

  // Emptied since: nothing comes back, and check says why.
  ASSERT_TRUE(WriteWholeFile(dir_.NativePath(u"a.set"), ""));
  r = Run({"check", Path(u"a.set")});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_NE(r.out.find("the file is empty; the store opens a new tree"), std::string::npos)
      << r.out;
}

namespace {

// A leaf's value as a UTF-16 string, with its NUL.
std::string WideValue(const std::string& text) {
  std::string v;
  for (char c : text) v += std::string{c, '\0'};
  return v + std::string(2, '\0');
}

uint32_t Hash(const std::u16string& name) { return CfNameHash(name.c_str(), -1, nullptr); }

struct Listed {
  uint32_t id;
  std::u16string name;
};

// A file whose root lists |children| in this order; each is a leaf whose
// wstring value is its position in the file.
std::string FileListing(const std::vector<Listed>& children) {
  std::vector<uint32_t> ids;
  for (const Listed& c : children) ids.push_back(c.id);
  std::string body = orvo::testing::Record(u"Root", orvo::testing::kBranchFlag, "",
                                           static_cast<int32_t>(children.size()), ids);
  for (size_t i = 0; i < children.size(); ++i) {
    body +=
        orvo::testing::Record(children[i].name, CfTypeWString, WideValue(std::to_string(i)), 0, {});
  }
  return orvo::testing::File(body);
}

}  // namespace

// Files whose root table another program wrote out of order, with one id in
// places apart or one name twice: get, set and rm all act on the first child
// of the name in table order, and set changes it rather than adding a second.
TEST_F(EditCommandsTest, EditsOnTablesOutOfOrderActOnTheFirstChildOfTheName) {
  std::vector<Listed> twice;
  for (int i = 0; i < 300; ++i) {
    const std::string n = "k" + std::to_string(i * 7919 % 1000);
    twice.push_back({Hash(std::u16string(n.begin(), n.end())), std::u16string(n.begin(), n.end())});
  }
  twice[0] = {Hash(u"x"), u"x"};
  twice[239] = {Hash(u"x"), u"X"};
  const struct Case {
    const char* what;
    std::vector<Listed> children;
    std::vector<int> x_at;  // the children named x, in table order
  } cases[] = {
      {"x at 0 and 239 of 300", twice, {0, 239}},
      {"x among unnamed children of one id",
       {{1, u""}, {1, u""}, {1, u""}, {Hash(u"x"), u"x"}, {1, u""}},
       {3}},
      {"x after a child under its id, then x again",
       {{9, u"b"}, {Hash(u"x"), u"q"}, {Hash(u"x"), u"x"}, {2, u""}, {Hash(u"x"), u"x"}},
       {2, 4}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_TRUE(WriteWholeFile(dir_.NativePath(u"o.set"), FileListing(c.children)));
    const size_t count = c.children.size();
    // Every path ls -r prints names its own key back.
    {
      std::istringstream lines(Run({"ls", "-r", Path(u"o.set")}).out);
      std::string line;
      size_t at = 0;
      for (; std::getline(lines, line); ++at) {
        const std::string path = line.substr(1, line.find('"', 1) - 1);
        EXPECT_EQ(Run({"get", Path(u"o.set"), path}).out,
                  "wstring \"" + std::to_string(at) + "\"\n")
            << path;
      }
      EXPECT_EQ(at, count);
    }
    for (const char* name : {"x", "X"}) {
      ProcessResult r = Run({"get", Path(u"o.set"), name});
      ASSERT_EQ(r.exit_code, 0) << r.err;
      EXPECT_EQ(r.out, "wstring \"" + std::to_string(c.x_at[0]) + "\"\n");
    }
    ProcessResult r = Run({"set", Path(u"o.set"), "x", "--wstring", "new"});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(Read(u"o.set", u"").children.size(), count);
    r = Run({"get", Path(u"o.set"), "x"});
    EXPECT_EQ(r.out, "wstring \"new\"\n");
    {
      auto config = CfRef<CConfigFile>::Adopt(CreateConfigFile(dir_.Path(u"o.set").c_str(), 3));
      ASSERT_TRUE(config);
      auto root = CfRef<ICfKey>::Adopt(config->GetRootKey());
      int at = 0;
      for (auto k = CfRef<ICfKey>::Adopt(root->GetFirstChild()); k;
           k.attach(k->GetNextSibling()), ++at) {
        std::string v(static_cast<size_t>(k->GetValueLength()), '\0');
        k->GetValue(&v[0], static_cast<int32_t>(v.size()));
        EXPECT_EQ(v, WideValue(at == c.x_at[0] ? "new" : std::to_string(at))) << at;
      }
    }
    r = Run({"rm", Path(u"o.set"), "X"});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(Read(u"o.set", u"").children.size(), count - 1);
    r = Run({"get", Path(u"o.set"), "x"});
    if (c.x_at.size() > 1) {
      EXPECT_EQ(r.exit_code, 0) << r.err;
      EXPECT_EQ(r.out, "wstring \"" + std::to_string(c.x_at[1]) + "\"\n");
    } else {
      EXPECT_EQ(r.exit_code, 1);
      EXPECT_NE(r.err.find("x: no such key"), std::string::npos) << r.err;
    }
  }
}

#ifndef _WIN32
// A file that build or export makes new and then cannot write (here: past
// the process's file size limit) is removed again, and nothing else is.
TEST_F(EditCommandsTest, AFileMadeAndNotWrittenIsRemoved) {
  const std::string big(3000, 'a');
  const std::string json =
      "{\"name\": \"Root\", \"children\": [{\"node\": {\"name\": \"Big\", "
      "\"string\": \"" +
      big + "\"}}]}\n";
  ASSERT_EQ(Run({"build", Path(u"src.set")}, json).exit_code, 0);
  const struct {
    const char* what;
    std::vector<std::string> args;
    std::u16string made;
  } kCases[] = {
      {"build", {"build", Path(u"made.set")}, u"made.set"},
      {"export", {"export", Path(u"src.set"), "Big", Path(u"made.json")}, u"made.json"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.what);
    // Writes past 1 KiB fail (EFBIG) instead of stopping the process.
    std::vector<std::string> args = {"-c", "trap '' XFSZ; ulimit -f 2; exec \"$0\" \"$@\"",
                                     SETTOOL_PATH};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const ProcessResult r = orvo::testing::RunProcess("/bin/sh", args, json, Path(u"io"));
    ASSERT_TRUE(r.started);
    EXPECT_EQ(r.exit_code, 2) << r.err;
    EXPECT_NE(r.err.find("cannot write the file; nothing is left of it"), std::string::npos)
        << r.err;
    EXPECT_FALSE(Exists(c.made));
    EXPECT_TRUE(Exists(u"src.set"));
  }
}
#endif
