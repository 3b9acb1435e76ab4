// Several threads share one file object: they create, read, rename and delete
// keys in one tree and save it, while the bookkeeping must stay sound and the
// sanitizers (ThreadSanitizer in the tsan build) must stay quiet.
#include <gtest/gtest.h>

#include <atomic>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "store/config_file.h"
#include "store/key.h"
#include "tests/store/key_test_util.h"
#include "tests/testing/temp_dir.h"

using orvo::store::CreateConfigFile;

namespace orvo::testing {
namespace {

constexpr int kThreads = 4;
constexpr int kStepsPerThread = 3000;

std::u16string Decimal(int v) {
  std::u16string s;
  do {
    s.insert(s.begin(), static_cast<char16_t>(u'0' + v % 10));
    v /= 10;
  } while (v > 0);
  return s;
}

// One worker: a private section whose contents it can predict, and a shared
// section where every thread works on the same few names.
class Worker {
 public:
  Worker(CConfigFile* file, int id, const std::u16string& save_path)
      : file_(file), id_(id), save_path_(save_path), rng_(0x5eed + id) {}

  void Run() {
    const std::u16string own = u"own" + Decimal(id_);
    auto section = KeyRef::Adopt(file_->OpenKey(own.c_str(), true));
    if (!section) return Fail("no private section");
    for (int step = 0; step < kStepsPerThread && failures_.empty(); ++step) {
      switch (rng_() % 8) {
        case 0:
        case 1:
          PrivateRoundTrip(section.get(), step);
          break;
        case 2:
          SharedCreateAndWrite();
          break;
        case 3:
          SharedRead();
          break;
        case 4:
          SharedRename();
          break;
        case 5:
          SharedDeleteWhileIterating();
          break;
        case 6:
          SharedRecords();
          break;
        case 7:
          if (rng_() % 10 == 0) file_->Save(save_path_.c_str());
          break;
      }
    }
  }

  const std::string& failures() const { return failures_; }

 private:
  void Fail(const std::string& what) {
    if (failures_.empty()) failures_ = "thread " + std::to_string(id_) + ": " + what;
  }

  std::u16string SharedName() { return u"shared" + Decimal(static_cast<int>(rng_() % 6)); }

  // Only this thread touches its section: what it writes it must read back.
  void PrivateRoundTrip(ICfKey* section, int step) {
    const std::u16string name = u"k" + Decimal(step % 7);
    auto k = KeyRef::Adopt(section->FindChild(name.c_str(), -1, nullptr, true));
    if (!k) return Fail("private child not made");
    const int32_t value = step * 31 + id_;
    if (!k->SetValue(CfTypeBinary, &value, 4)) return Fail("private write refused");
    if (k->GetInt(-1) != value) return Fail("private value lost");
    const std::u16string text(static_cast<size_t>(step % 40), u'w');
    if (!k->SetValue(CfTypeWString, text.c_str(), -1)) return Fail("private text refused");
    if (k->GetValueLength() != static_cast<int32_t>(text.size() + 1) * 2) {
      return Fail("private text length wrong");
    }
    if (step % 5 == 0 && !k->Delete()) return Fail("private delete refused");
  }

  void SharedCreateAndWrite() {
    const std::u16string path = u"shared\\" + SharedName() + u"\\leaf";
    auto k = KeyRef::Adopt(file_->OpenKey(path.c_str(), true));
    if (!k) return;  // another thread may delete a component on the way
    const int32_t value = id_;
    k->SetValue(CfTypeBinary, &value, 4);
  }

  void SharedRead() {
    auto shared = KeyRef::Adopt(file_->OpenKey(u"shared", false));
    if (!shared) return;
    for (ICfKey* c = shared->GetFirstChild(); c != nullptr; c = c->MoveToNextSibling()) {
      CfChar name[256];
      c->GetName(name, 256);
      c->GetIndex();
      c->GetId(nullptr);
      c->GetChildInt(u"leaf", 0);
      auto parent = KeyRef::Adopt(c->GetParent());
      if (parent.get() != shared.get()) {
        c->Release();
        return Fail("child key with another parent");
      }
    }
  }

  void SharedRename() {
    auto shared = KeyRef::Adopt(file_->OpenKey(u"shared", false));
    if (!shared) return;
    const std::u16string from = SharedName();
    auto k = KeyRef::Adopt(shared->FindChild(from.c_str(), -1, nullptr, false));
    if (k) k->Rename(SharedName().c_str(), rng_() % 2 == 0);
  }

  void SharedDeleteWhileIterating() {
    auto shared = KeyRef::Adopt(file_->OpenKey(u"shared", false));
    if (!shared) return;
    for (ICfKey* c = shared->GetFirstChild(); c != nullptr;)
      c = c->MoveToNextSiblingEx(rng_() % 3 == 0);
  }

  void SharedRecords() {
    auto records = KeyRef::Adopt(file_->OpenKey(u"records", true));
    if (!records) return Fail("no records section");
    auto record = KeyRef::Adopt(records->CreateChildWithId(1, false, CfTypeNone, nullptr, 0));
    if (!record) return Fail("record not made");
    auto value = KeyRef::Adopt(record->CreateChild(u"Owner", CfTypeBinary, &id_, 4));
    if (!value || value->GetInt(-1) != id_) {
      // Another thread may have dropped this record as the oldest one; a
      // deleted record answers as detached from then on.
      if (record->GetIndex() < 0) return;
      return Fail("record value lost");
    }
    // Keep the section small: drop the oldest record now and then.
    if (rng_() % 2 == 0) {
      auto oldest = KeyRef::Adopt(records->GetChildById(1, 0));
      if (oldest) oldest->Delete();
    }
  }

  CConfigFile* file_;
  int id_;
  std::u16string save_path_;
  std::minstd_rand rng_;
  std::string failures_;
};

TEST(KeyStressTest, ThreadsShareOneTree) {
  TempDir dir;
  ASSERT_TRUE(dir.ok());
  const std::u16string path = dir.Path(u"stress.set");
  CConfigFile* file = CreateConfigFile(path.c_str(), kOpenAlways);
  ASSERT_NE(file, nullptr);

  std::vector<Worker> workers;
  for (int i = 0; i < kThreads; ++i) workers.emplace_back(file, i, path);
  std::vector<std::thread> threads;
  for (Worker& w : workers) threads.emplace_back([&w] { w.Run(); });
  for (std::thread& t : threads) t.join();
  for (const Worker& w : workers) EXPECT_EQ(w.failures(), "");

  ExpectSettled(file);
  ASSERT_TRUE(file->Save(nullptr));
  file->Release();

  // The last save reads back into a sound tree.
  CConfigFile* reread = CreateConfigFile(path.c_str(), kOpenExisting);
  ASSERT_NE(reread, nullptr);
  {
    auto own = KeyRef::Adopt(reread->OpenKey(u"own0", false));
    EXPECT_TRUE(own);
  }
  ExpectSettled(reread);
  reread->Release();
}

TEST(KeyStressTest, ReleaseChainsRaceWithLookups) {
  // Deep keys released on one thread while others look the same nodes up:
  // a node's key object must never be handed out while it is being pooled.
  CConfigFile* file = CreateConfigFile(nullptr, kOpenAlways);
  ASSERT_NE(file, nullptr);
  { auto made = KeyRef::Adopt(file->OpenKey(u"a\\b\\c\\d\\e\\f", true)); }
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([file, &wrong, t] {
      for (int i = 0; i < 3000; ++i) {
        auto k = KeyRef::Adopt(file->OpenKey(t % 2 == 0 ? u"a\\b\\c\\d\\e\\f" : u"a\\b\\c", false));
        if (!k || NameOf(k.get()) != (t % 2 == 0 ? "f" : "c")) ++wrong;
      }
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(wrong.load(), 0);
  ExpectSettled(file);
  file->Release();
}

}  // namespace
}  // namespace orvo::testing
