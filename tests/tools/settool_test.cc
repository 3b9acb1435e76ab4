// Runs the settool program itself.
#include <gtest/gtest.h>

#ifndef _WIN32
#include <unistd.h>
#endif

#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "orvo/version.h"
#include "platform/utf.h"
#include "store/file_io.h"
#include "store/save_protocol.h"
#include "tests/testing/temp_dir.h"
#include "tests/testing/tree_util.h"
#include "tests/tools/process.h"

using orvo::store::InitNewHeaderImage;
using orvo::store::NewTree;
using orvo::store::SaveConfigFile;

namespace {

using orvo::testing::AddChild;
using orvo::testing::MakeNode;
using orvo::testing::ProcessResult;
using orvo::testing::ReadWholeFile;
using orvo::testing::TempDir;
using orvo::testing::WriteWholeFile;

// Every kind of name, value, attribute and id, in table order.
const char kTreeJson[] =
    "{\"name\": \"Root\", \"flags\": 0, \"value_hex\": \"\", \"children\": ["
    "{\"id\": 1448, \"node\": {\"name\": \"APP\", \"flags\": 0, \"value_hex\": \"\", "
    "\"children\": [{\"id\": 7, \"node\": {\"name\": \"\", \"flags\": 0, \"value_hex\": \"\", "
    "\"children\": [{\"id\": 3174, \"node\": {\"name\": \"Name\", \"flags\": 3, \"value_hex\": "
    "\"e9007400000900000000\", \"children\": []}}]}}, {\"id\": 7, \"node\": {\"name\": \"\", "
    "\"flags\": 17, \"int\": 800, \"children\": []}}]}}, "
    "{\"id\": 160473, \"node\": {\"name\": \"\xe4\xb8\xad x\", \"flags\": 0, "
    "\"value_hex\": \"\", \"children\": []}}, "
    "{\"id\": 223283, \"node\": {\"name\": \"q\\\"\\ud800\\t\", \"flags\": 226, \"value_hex\": "
    "\"6869210000\", \"children\": []}}]}\n";

class SettoolTest : public ::testing::Test {
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

  TempDir dir_;
};

TEST_F(SettoolTest, BuildThenDumpIsByteForByte) {
  ProcessResult r = Run({"build", Path(u"a.set")}, kTreeJson);
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.err, "");
  r = Run({"dump", Path(u"a.set"), "--json"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.out, kTreeJson);
  ProcessResult again = Run({"build", Path(u"b.set")}, r.out);
  ASSERT_EQ(again.exit_code, 0) << again.err;
  EXPECT_EQ(Bytes(u"b.set"), Bytes(u"a.set"));
  EXPECT_EQ(Run({"check", Path(u"a.set")}).exit_code, 0);
}

TEST_F(SettoolTest, FileWrittenByTheStoreComesBackTheSame) {
  CfTree tree(NewTree());
  CfNode* app = AddChild(tree.get(), MakeNode(u"APP", 0, "", true));
  for (uint32_t i = 0; i < 20; ++i) {
    CfNode* rec = AddChild(app, MakeNode(u"", 0, "", true), 1000 + i * 37 % 11);
    AddChild(rec, MakeNode(u"MainProgramPath", CfTypeWString, std::string("C\0:\0\0\0", 6)));
    AddChild(rec, MakeNode(u"Width", CfTypeBinary, std::string(4, static_cast<char>(i))));
  }
  CfHeaderImage image;
  InitNewHeaderImage(&image);
  CfNode* root = tree.get();
  ASSERT_TRUE(SaveConfigFile(dir_.Path(u"orig.set").c_str(), image, &root, nullptr));
  ProcessResult r = Run({"dump", "--json", Path(u"orig.set")});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  ASSERT_EQ(Run({"build", Path(u"copy.set")}, r.out).exit_code, 0);
  EXPECT_EQ(Bytes(u"copy.set"), Bytes(u"orig.set"));
}

TEST_F(SettoolTest, DumpForPeople) {
  ASSERT_EQ(Run({"build", Path(u"a.set")}, kTreeJson).exit_code, 0);
  ProcessResult r = Run({"dump", Path(u"a.set")});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.out,
            "\"Root\" none\n"
            "  \"APP\" none\n"
            "    #7 none\n"
            "      \"Name\" wstring \"\xc3\xa9t\xe0\xa4\x80\\u0000\"\n"
            "    #7[2] binary attr=0x10 protected 20 03 00 00 (int 800)\n"
            "  \"\xe4\xb8\xad x\" none\n"
            "  \"q\\\"\\ud800\\t\" string attr=0xe0 \"hi!\\x00\"\n");
}

TEST_F(SettoolTest, DumpShowsFourByteValuesAsIntegersUnlessUtf16Text) {
  // 4 bytes each: UTF-16 "A" and its terminator, 8-bit "ab" and its
  // terminator, binary, and a value of type none.
  const char json[] =
      "{\"name\": \"Root\", \"flags\": 0, \"children\": ["
      "{\"node\": {\"name\": \"w\", \"flags\": 3, \"value_hex\": \"41000000\"}}, "
      "{\"node\": {\"name\": \"s\", \"flags\": 2, \"value_hex\": \"61620000\"}}, "
      "{\"node\": {\"name\": \"b\", \"flags\": 1, \"value_hex\": \"ffffffff\"}}, "
      "{\"node\": {\"name\": \"n\", \"flags\": 0, \"value_hex\": \"01000000\"}}]}";
  ASSERT_EQ(Run({"build", Path(u"four.set")}, json).exit_code, 0);
  ProcessResult r = Run({"dump", Path(u"four.set")});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.out,
            "\"Root\" none\n"
            "  \"b\" binary ff ff ff ff (int -1)\n"
            "  \"n\" none 01 00 00 00 (int 1)\n"
            "  \"s\" string \"ab\\x00\" (int 25185)\n"
            "  \"w\" wstring \"A\"\n");
}

TEST_F(SettoolTest, CheckExitCodes) {
  ASSERT_EQ(Run({"build", Path(u"good.set")}, kTreeJson).exit_code, 0);
  std::string interrupted = Bytes(u"good.set");
  interrupted[8] = 1;
  interrupted[508] = 0;
  ASSERT_TRUE(WriteWholeFile(dir_.NativePath(u"interrupted.set"), interrupted));
  ASSERT_TRUE(WriteWholeFile(dir_.NativePath(u"empty.set"), ""));
  ASSERT_TRUE(WriteWholeFile(dir_.NativePath(u"text.set"), "just some text\n"));
  struct Case {
    std::vector<std::string> args;
    int code;
    const char* out_has;
    const char* err_has;
  } cases[] = {
      {{"check", Path(u"good.set")}, 0, "loads", ""},
      {{"check", Path(u"good.set")}, 0, "checksum:     0x", ""},
      {{"check", Path(u"interrupted.set")}, 1, "a save did not finish", ""},
      {{"check", Path(u"empty.set")}, 1, "the file is empty", ""},
      {{"check", Path(u"text.set")}, 1, "shorter than its 512-byte header", ""},
      {{"check", Path(u"missing.set")}, 2, "", "missing.set: cannot open: no such file"},
      {{"check"}, 2, "", "no file given"},
      {{"check", Path(u"good.set"), Path(u"empty.set")}, 2, "", "one file only"},
      {{"check", "--verbose", Path(u"good.set")}, 2, "", "unknown option --verbose"},
      {{"dump", Path(u"interrupted.set")}, 1, "", "would open as a new tree"},
      {{"dump", Path(u"missing.set"), "--json"}, 2, "", "missing.set: cannot open"},
      {{"frobnicate"}, 2, "", "unknown command frobnicate"},
      {{}, 2, "", "usage: settool"},
      {{"--help"}, 0, "usage: settool", ""},
      {{"--version", "x"}, 2, "", "--version: takes no arguments"},
      {{"help"}, 0, "usage: settool COMMAND", ""},
      {{"help", "rename"}, 0, "usage: settool rename FILE PATH NAME\n", ""},
      {{"help", "frobnicate"}, 2, "", "help: unknown command frobnicate"},
      {{"help", "dump", "check"}, 2, "", "help: one command only"},
  };
  for (const Case& c : cases) {
    ProcessResult r = Run(c.args);
    std::string what;
    for (const std::string& a : c.args) what += a + " ";
    EXPECT_EQ(r.exit_code, c.code) << what << r.err;
    EXPECT_NE(r.out.find(c.out_has), std::string::npos) << what << r.out;
    EXPECT_NE(r.err.find(c.err_has), std::string::npos) << what << r.err;
  }
}

TEST_F(SettoolTest, VersionAndHelpOfEveryCommand) {
  ProcessResult r = Run({"--version"});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.out, "settool " ORVO_VERSION_STRING "\n");
  // Every command of the usage list has its own help, with its exit status.
  r = Run({"help"});
  ASSERT_EQ(r.exit_code, 0);
  std::istringstream lines(r.out);
  std::string line;
  int commands = 0;
  while (std::getline(lines, line)) {
    if (line.rfind("  ", 0) != 0) continue;
    const std::string name = line.substr(2, line.find(' ', 2) - 2);
    if (name == "help" || name == "--version") continue;
    ++commands;
    ProcessResult h = Run({"help", name});
    EXPECT_EQ(h.exit_code, 0) << name << ": " << h.err;
    EXPECT_TRUE(h.out.rfind("usage: settool " + name + " ", 0) == 0 ||
                h.out.rfind("usage: settool " + name + "\n", 0) == 0)
        << h.out;
    EXPECT_NE(h.out.find("Exit status: 0"), std::string::npos) << h.out;
  }
  EXPECT_EQ(commands, 19);
}

TEST_F(SettoolTest, BuildNeverOverwrites) {
  ASSERT_TRUE(WriteWholeFile(dir_.NativePath(u"keep.set"), "keep"));
  ProcessResult r = Run({"build", Path(u"keep.set")}, kTreeJson);
  EXPECT_EQ(r.exit_code, 2);
  EXPECT_NE(r.err.find("keep.set: already exists"), std::string::npos) << r.err;
  EXPECT_EQ(Bytes(u"keep.set"), "keep");
}

TEST_F(SettoolTest, BuildRefusesBadInputAndLeavesNoFile) {
  ProcessResult r = Run({"build", Path(u"bad.set")}, "{\"name\": \"Root\",\n \"flags\": 300}");
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_NE(r.err.find("bad.set: input line 2, column 11: \"flags\" must be"), std::string::npos)
      << r.err;
  EXPECT_FALSE(Exists(u"bad.set"));
  r = Run({"build", Path(u"bad.set")}, "");
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_FALSE(Exists(u"bad.set"));
}

TEST_F(SettoolTest, DumpKeepsWhatWasReadBeforeADamagedRecord) {
  ASSERT_EQ(Run({"build", Path(u"a.set")}, kTreeJson).exit_code, 0);
  std::string bytes = Bytes(u"a.set");
  // Make the record of "APP" unreadable: give its name a '<'. Version 0x10004
  // so that no checksum is tested.
  const size_t app = bytes.find(std::string("A\0P\0P\0", 6));
  ASSERT_NE(app, std::string::npos);
  bytes[app] = '<';
  bytes[4] = 0x04;
  ASSERT_TRUE(WriteWholeFile(dir_.NativePath(u"damaged.set"), bytes));
  ProcessResult r = Run({"dump", Path(u"damaged.set")});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.out, "\"Root\" none\n");
  EXPECT_NE(r.err.find("reading stopped at body offset 28"), std::string::npos) << r.err;
}

TEST_F(SettoolTest, NoCrashOnDamagedFiles) {
  ASSERT_EQ(Run({"build", Path(u"a.set")}, kTreeJson).exit_code, 0);
  const std::string good = Bytes(u"a.set");
  std::mt19937 rng(12345);
  for (int i = 0; i < 12; ++i) {
    std::string bytes = good;
    if (i % 3 == 0) bytes.resize(rng() % bytes.size());
    if (bytes.size() <= 512) continue;
    for (int k = 0; k < 4; ++k) {
      bytes[512 + rng() % (bytes.size() - 512)] ^= static_cast<char>(1 + rng() % 255);
    }
    bytes[4] = 0x04;  // no checksum test: the damage reaches the parser
    ASSERT_TRUE(WriteWholeFile(dir_.NativePath(u"x.set"), bytes));
    for (const char* cmd : {"dump", "check"}) {
      ProcessResult r = Run({cmd, Path(u"x.set")});
      EXPECT_TRUE(r.exit_code == 0 || r.exit_code == 1) << cmd << " " << i << ": " << r.err;
    }
  }
}

}  // namespace

namespace {

// What an administrator finds after damage: check says what was salvaged,
// recover gets every readable record of a kept copy back into a new file.
TEST_F(SettoolTest, DamagedFilesAreSalvagedAndKeptCopiesRecovered) {
  ASSERT_EQ(Run({"build", Path(u"a.set")}, kTreeJson).exit_code, 0);
  std::string damaged = Bytes(u"a.set");
  damaged[damaged.size() - 2] ^= 0x01;  // a byte of the last value: the sum no longer matches
  ASSERT_TRUE(WriteWholeFile(dir_.NativePath(u"a.set"), damaged));
  ProcessResult check = Run({"check", Path(u"a.set")});
  EXPECT_EQ(check.exit_code, 0);
  EXPECT_NE(check.out.find("keys:         7 salvaged"), std::string::npos) << check.out;
  EXPECT_NE(check.out.find("the body checksum does not match"), std::string::npos) << check.out;

  // A kept copy as a save leaves it, here also a save that did not finish.
  std::string kept = damaged;
  kept[8] = 1;
  ASSERT_TRUE(WriteWholeFile(dir_.NativePath(u"a.set.old"), kept));
  EXPECT_EQ(Run({"dump", Path(u"a.set.old")}).exit_code, 1);  // the store would not read it
  ProcessResult rec = Run({"recover", Path(u"a.set.old"), Path(u"back.set")});
  EXPECT_EQ(rec.exit_code, 0) << rec.err;
  EXPECT_EQ(rec.out, "recovered 7 keys from " + Path(u"a.set.old") + "\n");
  EXPECT_EQ(Bytes(u"a.set.old"), kept);
  ProcessResult dump = Run({"dump", Path(u"back.set"), "--json"});
  EXPECT_EQ(dump.exit_code, 0);
  EXPECT_EQ(Run({"check", Path(u"back.set")}).exit_code, 0);
  EXPECT_NE(dump.out.find("\"name\": \"APP\""), std::string::npos) << dump.out;

  // Never over an existing file; nothing from a foreign one.
  const std::string back = Bytes(u"back.set");
  EXPECT_EQ(Run({"recover", Path(u"a.set"), Path(u"back.set")}).exit_code, 2);
  EXPECT_EQ(Bytes(u"back.set"), back);
  ASSERT_TRUE(WriteWholeFile(dir_.NativePath(u"foreign"), std::string(2000, 'z')));
  EXPECT_EQ(Run({"recover", Path(u"foreign"), Path(u"c.set")}).exit_code, 1);
  EXPECT_FALSE(Exists(u"c.set"));
}

}  // namespace

namespace {

// A side file that the store may not use: check says why, and an edit that
// cannot replace it names it and fails; one that may replace it does.
TEST_F(SettoolTest, CompanionsThatCannotBeUsedAreNamed) {
  ASSERT_EQ(Run({"build", Path(u"a.set")}, kTreeJson).exit_code, 0);
  std::filesystem::create_directory(dir_.NativePath(u"a.set.new"));
  ProcessResult r = Run({"check", Path(u"a.set")});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_NE(r.out.find("side file:    not a plain file (a folder, a pipe, a device or a link); "
                       "saves fail until it is removed"),
            std::string::npos)
      << r.out;
  const std::string before = Bytes(u"a.set");
  r = Run({"set", Path(u"a.set"), "APP/Version", "--wstring", "2"});
  EXPECT_EQ(r.exit_code, 2);
  EXPECT_NE(r.err.find("cannot write the file: " + Path(u"a.set.new") + " is in the way"),
            std::string::npos)
      << r.err;
  EXPECT_EQ(Bytes(u"a.set"), before);
  std::filesystem::remove(dir_.NativePath(u"a.set.new"));
#ifndef _WIN32
  if (geteuid() != 0) return;  // the rest makes a file of another account
  ASSERT_TRUE(WriteWholeFile(dir_.NativePath(u"a.set.new"), Bytes(u"a.set")));
  ASSERT_EQ(chown(dir_.NativePath(u"a.set.new").c_str(), 65534, 65534), 0);
  r = Run({"check", Path(u"a.set")});
  EXPECT_NE(r.out.find("side file:    not trusted, not read: made by an account that may not "
                       "write the file"),
            std::string::npos)
      << r.out;
  EXPECT_EQ(Run({"set", Path(u"a.set"), "APP/Version", "--wstring", "2"}).exit_code, 0);
  r = Run({"check", Path(u"a.set")});
  EXPECT_EQ(r.out.find("not trusted"), std::string::npos) << r.out;
#endif
}

// One rule for FILE in every command: at most 255 characters, else exit 2
// with the same message and nothing made.
TEST_F(SettoolTest, EveryCommandTakesFilePathsOfAtMost255Characters) {
  const std::string fits = Path(u"") + std::string(255 - Path(u"").size(), 'f');
  const std::string longer = fits + "g";
  ASSERT_EQ(Run({"build", fits}, kTreeJson).exit_code, 0);
  ASSERT_TRUE(WriteWholeFile(longer, ReadWholeFile(fits)));
  const std::vector<std::vector<std::string>> commands = {
      {"check", longer},
      {"dump", longer},
      {"ls", longer},
      {"get", longer, "APP"},
      {"set", longer, "X", "--int", "1"},
      {"rm", longer, "APP"},
      {"rename", longer, "APP", "B"},
      {"protect", longer, "APP", "on"},
      {"build", longer + "h"},
      {"recover", fits, longer + "h"},
      {"recover", longer, Path(u"out.set")},
      {"export", longer, "APP"},
      {"export", fits, "APP", longer + "h"},
      {"import", longer, fits},
      {"import", fits, longer},
  };
  for (const auto& args : commands) {
    SCOPED_TRACE(args[0]);
    const ProcessResult r = Run(args, kTreeJson);
    EXPECT_EQ(r.exit_code, 2) << r.err;
    EXPECT_NE(r.err.find(": cannot open: the path is longer than 255 characters"),
              std::string::npos)
        << r.err;
  }
  EXPECT_FALSE(std::filesystem::exists(longer + "h"));
  EXPECT_FALSE(Exists(u"out.set"));
  // At the limit every command works.
  EXPECT_EQ(Run({"check", fits}).exit_code, 0);
  EXPECT_EQ(Run({"ls", fits, "APP"}).exit_code, 0);
  EXPECT_EQ(Run({"set", fits, "X", "--int", "1"}).exit_code, 0);
}

// Exit statuses and messages as the help states them.
TEST_F(SettoolTest, ExitStatusesAndMessagesAgreeWithTheHelp) {
  const struct {
    std::vector<std::string> args;
    int code;
    const char* out_has;  // in standard output, or null
    const char* err_has;  // in standard error, or null
  } kCases[] = {
      {{"help", "help"}, 0, "usage: settool help [COMMAND]\n", nullptr},
      {{"help", "check-installed"}, 0, "usage: settool check-installed\n", nullptr},
      {{"help"}, 0, "3 (notify-app) registered already", nullptr},
      {{"build", "-"}, 2, nullptr, "\"-\" (standard output) is not one"},
      {{"notify-widget", "--name", "W", "--main-program-path", "p", "--main-icon-path", "i",
        "--width", "0", "--height", "5"},
       1,
       "the width and the height must not be 0",
       nullptr},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.args[0] + " " + (c.args.size() > 1 ? c.args[1] : ""));
    const ProcessResult r = Run(c.args);
    EXPECT_EQ(r.exit_code, c.code) << r.err;
    if (c.out_has != nullptr) {
      EXPECT_NE(r.out.find(c.out_has), std::string::npos) << r.out;
    }
    if (c.err_has != nullptr) {
      EXPECT_NE(r.err.find(c.err_has), std::string::npos) << r.err;
    }
  }
  EXPECT_FALSE(Exists(u"io/-"));
#ifndef _WIN32
  // Output that cannot be written fails every command alike.
  for (const char* command : {"--version", "help", "--help"}) {
    const ProcessResult r = orvo::testing::RunProcess(
        "/bin/sh", {"-c", std::string("'") + SETTOOL_PATH + "' " + command + " >/dev/full"}, "",
        Path(u"io"));
    EXPECT_EQ(r.exit_code, 2) << command;
  }
#endif
}

}  // namespace
