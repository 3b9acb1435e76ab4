// settool with each of its allocations failing in turn (and every one after
// it): it never dies on a signal, reports running out of memory with exit
// status 2, and never loses what the file held. The file is one that another
// program wrote last (no side file beside it).
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/utf.h"
#include "store/config_file.h"
#include "store/key.h"
#include "store/ref.h"
#include "tests/testing/temp_dir.h"
#include "tests/tools/process.h"

using orvo::store::CreateConfigFile;

namespace {

namespace fs = std::filesystem;
using orvo::testing::ProcessResult;
using orvo::testing::TempDir;

constexpr uint32_t kOpenExisting = 3;
constexpr uint32_t kOpenAlways = kCfOpenAlways;
constexpr int kKeys = 40;

std::u16string KeyName(int i) {
  return u"k" + std::u16string(1, u'a' + i / 26) + std::u16string(1, u'a' + i % 26);
}

// Names and values of the root's children, one line each; "<cannot open>"
// when the file does not open.
std::string Describe(const fs::path& path) {
  auto file = CfRef<CConfigFile>::Adopt(CreateConfigFile(path.u16string().c_str(), kOpenExisting));
  if (!file) return "<cannot open>";
  auto root = CfRef<ICfKey>::Adopt(file->GetRootKey());
  std::string out;
  for (ICfKey* c = root->GetFirstChild(); c != nullptr; c = c->MoveToNextSibling()) {
    CfChar name[256] = {};
    const int32_t n = c->GetName(name, 256);
    out += orvo::platform::Utf16ToUtf8(std::u16string(name, n > 0 ? n : 0),
                                       orvo::platform::LoneSurrogate::kReplace) +
           "=" + std::to_string(c->GetInt(-1)) + "\n";
  }
  return out;
}

struct Command {
  const char* name;
  std::vector<std::string> args;  // after FILE
  bool changes;                   // whether success changes the file
};

TEST(SettoolAllocationTest, EveryAllocationFailingNeverLosesTheFile) {
  TempDir dir;
  ASSERT_TRUE(dir.ok());
  const fs::path path = dir.NativePath(u"keys.set");
  const std::string file = path.string();
  fs::create_directory(dir.NativePath(u"io"));
  const std::string io = dir.NativePath(u"io").string();
  {
    auto f = CfRef<CConfigFile>::Adopt(CreateConfigFile(path.u16string().c_str(), kOpenAlways));
    ASSERT_TRUE(f);
    auto root = CfRef<ICfKey>::Adopt(f->GetRootKey());
    for (int i = 0; i < kKeys; ++i) {
      const int32_t v = i;
      auto k = CfRef<ICfKey>::Adopt(root->CreateChild(KeyName(i).c_str(), CfTypeBinary, &v, 4));
      ASSERT_TRUE(k);
    }
    ASSERT_TRUE(f->Save(nullptr));
  }
  fs::path side = path;
  fs::remove(side += ".new");
  fs::path kept = path;
  kept += ".old";
  const std::string bytes = orvo::testing::ReadWholeFile(path);
  const std::string old_tree = Describe(path);

  const std::string json = dir.NativePath(u"io/import.json").string();
  ASSERT_TRUE(orvo::testing::WriteWholeFile(
      json,
      "{\"name\": \"Root\", \"children\": [{\"node\": {\"name\": \"kau\", \"int\": 778}}, "
      "{\"node\": {\"name\": \"added\", \"int\": 1}}]}"));
  const Command kCommands[] = {
      {"set", {"kau", "--int", "777"}, true},
      {"dump", {}, false},
      {"import", {json}, true},
      {"ls", {"-r", "--json"}, false},
  };
  int runs = 0, out_of_memory = 0;
  for (const Command& c : kCommands) {
    std::vector<std::string> args = {c.name, file};
    args.insert(args.end(), c.args.begin(), c.args.end());
    auto run = [&](const std::string& fail) {
      EXPECT_TRUE(orvo::testing::WriteWholeFile(path, bytes));
      fs::remove(side);
      fs::remove(kept);
      setenv("ORVO_FAIL_ALLOCATION", fail.c_str(), 1);
      const ProcessResult r = orvo::testing::RunProcess(SETTOOL_PATH, args, "", io);
      unsetenv("ORVO_FAIL_ALLOCATION");
      return r;
    };
    // A run that fails nothing counts the allocations.
    ProcessResult whole;
    whole = run("0");
    ASSERT_EQ(whole.exit_code, 0) << whole.err;
    const size_t at = whole.err.find("allocations: ");
    ASSERT_NE(at, std::string::npos) << whole.err;
    const int total = std::atoi(whole.err.c_str() + at + 13);
    ASSERT_GT(total, 10) << c.name;
    const std::string new_tree = Describe(path);
    EXPECT_EQ(new_tree != old_tree, c.changes);

    for (int k = 1; k <= total; ++k) {
      for (const char* mode : {"", "+"}) {
        const std::string fail = std::to_string(k) + mode;
        SCOPED_TRACE(std::string(c.name) + ", allocation " + fail);
        ProcessResult r;
        r = run(fail);
        ++runs;
        ASSERT_TRUE(r.started);
        // 0 done; 2 out of memory or the file could not be read. Never a
        // signal, never "refused" (1) for a file that is whole.
        ASSERT_TRUE(r.exit_code == 0 || r.exit_code == 2) << r.exit_code << "\n" << r.err;
        if (r.exit_code == 2) {
          ++out_of_memory;
          EXPECT_NE(r.err.find("settool"), std::string::npos) << r.err;
        }
        const std::string now = Describe(path);
        EXPECT_TRUE(now == old_tree || (c.changes && now == new_tree)) << now;
        if (r.exit_code == 0) {
          EXPECT_EQ(now, new_tree);
          if (!c.changes) {
            EXPECT_EQ(r.out, whole.out);
          }
        }
        EXPECT_FALSE(fs::exists(kept)) << "a file read whole needs no kept copy";
        if (HasFailure()) return;
      }
    }
  }
  std::printf("[ figures  ] %d runs, %d ended with exit status 2\n", runs, out_of_memory);
}

}  // namespace
