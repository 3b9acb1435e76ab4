// The side file and the kept copy on the real file system: their names,
// when they are read and written, and that the file itself keeps its place,
// its identity and its in-place layout for every other reader.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "store/coding.h"
#include "store/config_file.h"
#include "store/file_io.h"
#include "store/key.h"
#include "store/ref.h"
#include "store/save_protocol.h"
#include "tests/store/side_file_util.h"
#include "tests/testing/temp_dir.h"

#if !defined(_WIN32)
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#endif

using orvo::store::CreateConfigFile;
using orvo::store::DecodeFixed32;
using orvo::store::EncodeFixed32;

namespace {

using orvo::testing::ReadWholeFile;
using orvo::testing::TempDir;
using orvo::testing::WriteWholeFile;

constexpr uint32_t kOpenExisting = orvo::platform::kOpenExisting;
constexpr uint32_t kOpenAlways = orvo::platform::kOpenAlways;
constexpr uint32_t kCreateAlways = orvo::platform::kCreateAlways;

class CompanionFilesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir_.ok());
    path_ = dir_.Path(u"InstallApp.set");
  }

  std::filesystem::path Native(const std::u16string& suffix = u"") const {
    return std::filesystem::path(path_ + suffix);
  }
  std::string Bytes(const std::u16string& suffix = u"") const {
    return ReadWholeFile(Native(suffix));
  }
  bool Exists(const std::u16string& suffix) const {
    std::error_code ec;
    return std::filesystem::exists(Native(suffix), ec);
  }

  // Opens |path|, adds the key |name| (when given) and saves.
  static bool AddAndSave(const std::u16string& path, const char16_t* name,
                         uint32_t disposition = kOpenAlways) {
    auto file = CfRef<CConfigFile>::Adopt(CreateConfigFile(path.c_str(), disposition));
    if (!file) return false;
    if (name != nullptr) {
      auto key = CfRef<ICfKey>::Adopt(file->OpenKey(name, true));
      if (!key) return false;
    }
    return file->Save(nullptr);
  }

  // The names of the root's children, comma-separated; "<none>" when the
  // file cannot be opened.
  static std::string Keys(const std::u16string& path, uint32_t disposition = kOpenAlways) {
    auto file = CfRef<CConfigFile>::Adopt(CreateConfigFile(path.c_str(), disposition));
    if (!file) return "<none>";
    auto root = CfRef<ICfKey>::Adopt(file->GetRootKey());
    std::string names;
    for (auto k = CfRef<ICfKey>::Adopt(root->GetFirstChild()); k; k.attach(k->GetNextSibling())) {
      CfChar buf[256] = {};
      const int32_t n = k->GetName(buf, 256);
      if (!names.empty()) names += ',';
      for (int32_t i = 0; i < n; ++i) names += static_cast<char>(buf[i]);
    }
    return names;
  }

  TempDir dir_;
  std::u16string path_;
};

TEST_F(CompanionFilesTest, TheSideFileHoldsTheImageTheFileIsWrittenInPlace) {
  ASSERT_TRUE(AddAndSave(path_, u"APP"));
  for (int i = 0; i < 20; ++i) {
    ASSERT_TRUE(AddAndSave(path_, (u"K" + std::u16string(1, char16_t(u'a' + i))).c_str()));
  }
  const std::string long_file = Bytes();
  // The side file of a finished save: its final header, then what the
  // file held from the first sector the save changed and how the image is
  // made of it, one copy of the change.
  const std::string long_side = Bytes(kCfSideFileSuffix);
  orvo::testing::SideFileParts parts;
  ASSERT_TRUE(orvo::testing::ParseSideFile(long_side, &parts));
  EXPECT_EQ(parts.state, kCfSideFinished);
  EXPECT_EQ(orvo::testing::SideFileImage(parts, long_file), long_file);
  // The base bytes, and of the image only what the save added (a key and
  // its id) with a few steps.
  EXPECT_LE(parts.kept.size() + parts.script.size(),
            (long_file.size() - parts.from) + 4 * kCfEditStepSize + 32);
  EXPECT_FALSE(Exists(kCfKeptCopySuffix));
#if !defined(_WIN32)
  struct stat before, side_before;
  ASSERT_EQ(stat(Native().c_str(), &before), 0);
  ASSERT_EQ(stat(Native(kCfSideFileSuffix).c_str(), &side_before), 0);
#endif

  // A shorter tree: both files keep their length and their identity (the
  // old tail stays beyond the body, as every reader expects).
  {
    auto file = CfRef<CConfigFile>::Adopt(CreateConfigFile(path_.c_str(), kOpenExisting));
    ASSERT_TRUE(file);
    auto root = CfRef<ICfKey>::Adopt(file->GetRootKey());
    for (auto k = CfRef<ICfKey>::Adopt(root->GetFirstChild()); k; k.attach(root->GetFirstChild())) {
      ASSERT_TRUE(k->Delete());
    }
    ASSERT_TRUE(file->Save(nullptr));
  }
  const std::string short_file = Bytes();
  EXPECT_EQ(short_file.size(), long_file.size());
  const std::string side = Bytes(kCfSideFileSuffix);
  EXPECT_EQ(side.size(), long_side.size());
  const size_t image = kCfHeaderSize + 16;  // a root alone
  ASSERT_TRUE(orvo::testing::ParseSideFile(side, &parts));
  EXPECT_EQ(orvo::testing::SideFileImage(parts, short_file), short_file.substr(0, image));
#if !defined(_WIN32)
  struct stat after, side_after;
  ASSERT_EQ(stat(Native().c_str(), &after), 0);
  ASSERT_EQ(stat(Native(kCfSideFileSuffix).c_str(), &side_after), 0);
  EXPECT_EQ(after.st_ino, before.st_ino);  // the same files, not replacements
  EXPECT_EQ(side_after.st_ino, side_before.st_ino);
#endif
  EXPECT_EQ(Keys(path_), "");
}

TEST_F(CompanionFilesTest, TheLongestPathHasRoomForTheSuffixes) {
  std::u16string longest = dir_.Path(u"");
  if (longest.back() != u'/' && longest.back() != u'\\') longest += u'/';
  ASSERT_LT(longest.size(), 200u);
  longest += std::u16string(255 - longest.size(), u'p');
  ASSERT_TRUE(AddAndSave(longest, u"APP"));
  std::error_code ec;
  EXPECT_TRUE(std::filesystem::exists(std::filesystem::path(longest + kCfSideFileSuffix), ec));
  // Both damaged: the save keeps the old bytes beside the file.
  ASSERT_TRUE(WriteWholeFile(std::filesystem::path(longest), "damaged"));
  ASSERT_TRUE(WriteWholeFile(std::filesystem::path(longest + kCfSideFileSuffix), "damaged"));
  ASSERT_TRUE(AddAndSave(longest, u"Widget"));
  EXPECT_EQ(ReadWholeFile(std::filesystem::path(longest + kCfKeptCopySuffix)), "damaged");
  EXPECT_EQ(Keys(longest), "Widget");
}

TEST_F(CompanionFilesTest, WhenTheSideFileIsRead) {
  ASSERT_TRUE(AddAndSave(path_, u"Old"));
  const std::string saved = Bytes();

  // After a finished save the side file stands in for nothing: an emptied
  // file is a new tree, and so is a damaged one (its bytes are kept).
  ASSERT_TRUE(WriteWholeFile(Native(), ""));
  EXPECT_EQ(Keys(path_, kOpenExisting), "");
  ASSERT_TRUE(AddAndSave(path_, u"New"));
  EXPECT_EQ(Keys(path_), "New");
  std::string caught = saved;  // a body byte off: no longer whole
  caught[kCfHeaderSize + 9] ^= 0x40;
  ASSERT_TRUE(WriteWholeFile(Native(), caught));
  EXPECT_EQ(Keys(path_, kOpenExisting), "Old");  // what still parses of it

  // A save caught in flight: its side file's tree, for a file that shows
  // what that save left, and never for an emptied one. Reading writes nothing.
  ASSERT_TRUE(WriteWholeFile(
      Native(kCfSideFileSuffix),
      orvo::testing::InFlightSideFile(saved, orvo::testing::BaseBefore(saved, kCfHeaderSize + 9))));
  EXPECT_EQ(Keys(path_, kOpenExisting), "Old");
  EXPECT_EQ(Bytes(), caught);
  ASSERT_TRUE(WriteWholeFile(Native(), std::string(600, 'f')));  // replaced since
  EXPECT_EQ(Keys(path_, kOpenExisting), "");
  ASSERT_TRUE(WriteWholeFile(Native(), ""));
  EXPECT_EQ(Keys(path_, kOpenExisting), "");

  // A file removed on purpose: its side file is a leftover. It is not read,
  // and the open that makes the new file removes it.
  ASSERT_TRUE(WriteWholeFile(Native(), caught));
  std::filesystem::remove(Native());
  EXPECT_EQ(Keys(path_, kOpenExisting), "<none>");
  EXPECT_TRUE(Exists(kCfSideFileSuffix));
  EXPECT_EQ(Keys(path_, kOpenAlways), "");
  EXPECT_FALSE(Exists(kCfSideFileSuffix));
  ASSERT_TRUE(AddAndSave(path_, u"Widget"));
  EXPECT_EQ(Keys(path_), "Widget");

  // Opened to be emptied: a new tree, as asked, and no side file after it.
  EXPECT_EQ(Keys(path_, kCreateAlways), "");
  EXPECT_FALSE(Exists(kCfSideFileSuffix));
  EXPECT_EQ(Keys(path_, kOpenExisting), "");
}

TEST_F(CompanionFilesTest, TheKeptCopyIsTheNewestContentThatCouldNotBeRead) {
  ASSERT_TRUE(AddAndSave(path_, u"APP"));
  for (const char* damage : {"first damage", "second damage"}) {
    SCOPED_TRACE(damage);
    ASSERT_TRUE(WriteWholeFile(Native(), damage));
    ASSERT_TRUE(AddAndSave(path_, u"Widget"));
    EXPECT_EQ(Bytes(kCfKeptCopySuffix), damage);
    // Later saves of content that was read keep nothing more.
    ASSERT_TRUE(AddAndSave(path_, u"More"));
    EXPECT_EQ(Bytes(kCfKeptCopySuffix), damage);
  }
  // Two objects that read the same damaged file: the first save keeps it,
  // the second finds a readable file and keeps nothing over it.
  ASSERT_TRUE(WriteWholeFile(Native(), "third damage"));
  auto a = CfRef<CConfigFile>::Adopt(CreateConfigFile(path_.c_str(), kOpenExisting));
  auto b = CfRef<CConfigFile>::Adopt(CreateConfigFile(path_.c_str(), kOpenExisting));
  ASSERT_TRUE(a && b);
  ASSERT_TRUE(a->Save(nullptr));
  ASSERT_TRUE(b->Save(nullptr));
  EXPECT_EQ(Bytes(kCfKeptCopySuffix), "third damage");
}

TEST_F(CompanionFilesTest, SavingElsewhereKeepsNothing) {
  ASSERT_TRUE(WriteWholeFile(Native(), "not a configuration file"));
  auto file = CfRef<CConfigFile>::Adopt(CreateConfigFile(path_.c_str(), kOpenExisting));
  ASSERT_TRUE(file);
  const std::u16string other = dir_.Path(u"other.set");
  ASSERT_TRUE(file->Save(other.c_str()));
  EXPECT_FALSE(Exists(kCfKeptCopySuffix));
  std::error_code ec;
  EXPECT_FALSE(std::filesystem::exists(std::filesystem::path(other + kCfKeptCopySuffix), ec));
  EXPECT_EQ(Bytes(), "not a configuration file");
}

}  // namespace

// The side file makes its image of the file's start, which its save never
// writes: once another program has changed that start, even keeping the
// byte sum, the side file stands in for nothing and the file is read by its
// own rules.
TEST_F(CompanionFilesTest, ASideFileNeverStandsInOnceTheStartItBuildsOnChanged) {
  {
    auto file = CfRef<CConfigFile>::Adopt(CreateConfigFile(path_.c_str(), kOpenAlways));
    ASSERT_TRUE(file);
    for (int i = 0; i < 200; ++i) {
      const std::u16string name = u"Key" + std::u16string(1, char16_t(u'A' + i / 26)) +
                                  std::u16string(1, char16_t(u'a' + i % 26));
      ASSERT_TRUE(CfRef<ICfKey>::Adopt(file->OpenKey(name.c_str(), true)));
    }
    ASSERT_TRUE(file->Save(nullptr));
  }
  const std::string whole = Bytes();
  // A save in flight that changed only the last key's name; the file as a
  // power loss leaves it: that sector still the base's.
  const size_t at = whole.rfind(std::string("K\0e\0y\0", 6)) + 8;
  ASSERT_GT(at, 2 * kCfSectorSize + kCfHeaderSize);
  std::string caught = whole;  // the image's header, that sector the base's
  caught[at] ^= 0x40;
  ASSERT_TRUE(
      WriteWholeFile(Native(kCfSideFileSuffix),
                     orvo::testing::InFlightSideFile(whole, orvo::testing::BaseBefore(whole, at))));
  ASSERT_TRUE(WriteWholeFile(Native(), caught));
  const std::string saved = Keys(path_, kOpenExisting);  // the side file's image
  EXPECT_EQ(saved.substr(saved.size() - 5), "Key" + whole.substr(at - 2, 1) + whole.substr(at, 1));
  // Two bytes of the first key's name swapped: the same size and sum.
  std::string changed = caught;
  const size_t first = changed.find(std::string("K\0e\0y\0A\0a\0", 10));
  ASSERT_NE(first, std::string::npos);
  std::swap(changed[first], changed[first + 6]);
  ASSERT_TRUE(WriteWholeFile(Native(), changed));
  auto file = CfRef<CConfigFile>::Adopt(CreateConfigFile(path_.c_str(), kOpenExisting));
  ASSERT_TRUE(file);
  EXPECT_EQ(file->load_report().source, CfTreeSource::kFilePart);
  EXPECT_EQ(file->load_report().side, CfSideState::kUnrelated);
  file.reset();
  // What the file holds, damage and all: no image of the side file's.
  const std::string read = Keys(path_, kOpenExisting);
  EXPECT_EQ(read.substr(0, 5), "AeyKa");
  EXPECT_EQ(read.substr(read.size() - 5), "Key" + whole.substr(at - 2, 1) + caught.substr(at, 1));
}

#if !defined(_WIN32)
// A save that knows nothing of the file (an object made without a path,
// saving under another spelling of it) fails for a full disk while the side
// file holds the only whole copy: that copy survives.
TEST_F(CompanionFilesTest, ASaveWithNoMemoryOfTheFileNeverDestroysTheOnlyWholeCopy) {
  ASSERT_TRUE(AddAndSave(path_, u"APP"));
  ASSERT_TRUE(AddAndSave(path_, u"Widget"));
  ASSERT_TRUE(orvo::testing::CatchMidSave(Native(), kCfHeaderSize + 9));
  ASSERT_EQ(Keys(path_, kOpenExisting), "APP,Widget");

  auto stranger = CfRef<CConfigFile>::Adopt(CreateConfigFile(nullptr, kOpenAlways));
  ASSERT_TRUE(stranger);
  auto key = CfRef<ICfKey>::Adopt(stranger->OpenKey(u"Other", true));
  ASSERT_TRUE(key);
  const std::u16string spelling = dir_.Path(u".") + u"/InstallApp.set";
  {
    // A disk that takes no byte past 300.
    struct rlimit old_limit;
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old_limit), 0);
    const auto old_handler = signal(SIGXFSZ, SIG_IGN);
    struct rlimit small = old_limit;
    small.rlim_cur = 300;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    const bool saved = stranger->Save(spelling.c_str());
    setrlimit(RLIMIT_FSIZE, &old_limit);
    signal(SIGXFSZ, old_handler);
    EXPECT_FALSE(saved);
  }
  EXPECT_EQ(Keys(path_, kOpenExisting), "APP,Widget");
  // With room, the same save goes through; nothing is kept: the file held a
  // save's own unfinished work.
  ASSERT_TRUE(stranger->Save(spelling.c_str()));
  EXPECT_EQ(Keys(path_, kOpenExisting), "Other");
  EXPECT_FALSE(Exists(kCfKeptCopySuffix));
}
#endif

// A newer program's committed file next to a side file of ours: never read
// as the older tree, and kept before a save replaces it.
TEST_F(CompanionFilesTest, ANewerProgramsFileIsNeverReplaced) {
  ASSERT_TRUE(AddAndSave(path_, u"Old"));
  std::string newer = Bytes();
  EncodeFixed32(reinterpret_cast<uint8_t*>(&newer[kCfVersionOffset]), kCfVersion + 1);
  for (const bool side_in_flight : {false, true}) {
    SCOPED_TRACE(side_in_flight ? "side file in flight" : "side file finished");
    if (side_in_flight) {
      // As a power loss may leave it: in flight, from a save that began
      // from what the file held then.
      ASSERT_TRUE(WriteWholeFile(Native(kCfSideFileSuffix),
                                 orvo::testing::InFlightSideFile(Bytes(), Bytes())));
    }
    ASSERT_TRUE(WriteWholeFile(Native(), newer));
    const std::string side = Bytes(kCfSideFileSuffix);
    EXPECT_EQ(Keys(path_, kOpenExisting), "");
    // This version cannot read it, so it never writes it: nothing changes.
    EXPECT_FALSE(AddAndSave(path_, u"Mine"));
    EXPECT_EQ(Bytes(), newer);
    EXPECT_EQ(Bytes(kCfSideFileSuffix), side);
    EXPECT_FALSE(Exists(kCfKeptCopySuffix));
  }
}

namespace {

// A save stopped between its flush of the file and its finished mark leaves
// its side file in flight beside a file that holds its whole image. Whatever
// another program then writes whole into the file is what is read and kept.
TEST_F(CompanionFilesTest, AWholeWriteByAnotherProgramIsNeverUndoneByAStaleSideFile) {
  ASSERT_TRUE(AddAndSave(path_, u"Aa"));
  const std::string base = Bytes();  // the file when the stopped save began
  ASSERT_TRUE(AddAndSave(path_, u"Mode"));
  const std::string image = Bytes();  // what that save wrote
  std::string swapped = image;        // two bytes of a name swapped: same size and sum
  const size_t at = swapped.find(std::string("A\0a", 3));
  ASSERT_NE(at, std::string::npos);
  std::swap(swapped[at], swapped[at + 2]);
  std::string mixed = image;  // the header of one, the body of the other
  mixed.replace(0, kCfHeaderSize, base, 0, kCfHeaderSize);
  // A file longer than its tree (a save that shrank it leaves the rest in
  // place), and the same tree written again with less of that rest: shorter
  // than any file the stopped save can leave, though its bytes are all the
  // base's.
  const std::string rest(image.size() - base.size() + 600, '\x5a');
  const std::string long_base = base + rest;
  const std::string shorter = base + rest.substr(0, rest.size() - 500);
  const struct {
    const char* what;
    std::string written;         // what the other program writes
    const char* keys;            // what is read, and kept by the next save
    std::string side_base = {};  // the stopped save's base, when not |base|
  } kCases[] = {
      {"a revert to the earlier content", base, "Aa"},
      {"an edit keeping size and byte sum", swapped, "aA,Mode"},
      {"the image itself", image, "Aa,Mode"},
      // Not a whole write: the earlier header over the image's body is what
      // a torn save leaves, and the side file repairs it.
      {"the earlier header over the image's body", mixed, "Aa,Mode"},
      {"the earlier tree, shorter than the base", shorter, "Aa", long_base},
  };
  // A side file left by an earlier version of the store is read the same.
  using orvo::testing::SideLayout;
  for (const SideLayout layout :
       {SideLayout::kScripted, SideLayout::kWholeImage, SideLayout::kEarliest}) {
    for (const auto& c : kCases) {
      SCOPED_TRACE(std::string(c.what) + ", layout " + std::to_string(static_cast<int>(layout)));
      ASSERT_TRUE(WriteWholeFile(Native(kCfSideFileSuffix),
                                 orvo::testing::InFlightSideFile(
                                     image, c.side_base.empty() ? base : c.side_base, layout)));
      ASSERT_TRUE(WriteWholeFile(Native(), c.written));
      EXPECT_EQ(Keys(path_, kOpenExisting), c.keys);
      ASSERT_TRUE(AddAndSave(path_, u"Next"));
      EXPECT_EQ(Keys(path_, kOpenExisting), std::string(c.keys) + ",Next");
      ASSERT_TRUE(WriteWholeFile(Native(), image));
    }
  }
}

}  // namespace
