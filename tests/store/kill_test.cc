// Processes killed while they save: a helper saves generation after
// generation of a file and is killed (SIGKILL) at a random moment, hundreds
// of times. After every kill the file opens with exactly the last generation
// the helper reported saved, or the one it was saving.
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "store/config_file.h"
#include "store/file_io.h"
#include "store/ref.h"
#include "store/save_protocol.h"
#include "tests/store/generation.h"
#include "tests/testing/temp_dir.h"

using orvo::store::CreateConfigFile;
using orvo::store::FreeNodeTree;
using orvo::store::InspectConfigFile;
using orvo::store::LoadConfigFile;

namespace {

constexpr int kRounds = 800;
// Rounds stop early after this long, so that a slow (sanitised) build stays
// bounded; the check of every round is the same.
constexpr auto kTimeLimit = std::chrono::seconds(40);
// Kills land at a random moment up to twice the time the helper takes
// to its first save (measured first, so that a slow build is not killed
// only while it starts), within these bounds.
constexpr long kMinMaxDelayUs = 5000;
constexpr long kMaxMaxDelayUs = 300000;

// A running helper with its standard output on a pipe.
struct Child {
  pid_t pid = -1;
  int out = -1;
};

Child Start(const std::string& file) {
  Child c;
  int fds[2];
  if (pipe(fds) != 0) return c;
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(fds[1], 1);
    close(fds[0]);
    close(fds[1]);
    execl(SAVE_LOOP_PATH, SAVE_LOOP_PATH, file.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  close(fds[1]);
  if (pid < 0) {
    close(fds[0]);
    return c;
  }
  c.pid = pid;
  c.out = fds[0];
  return c;
}

// Everything the child wrote; call after it has ended.
std::string Drain(int fd) {
  std::string text;
  char buf[4096];
  for (;;) {
    const ssize_t n = read(fd, buf, sizeof(buf));
    if (n > 0) {
      text.append(buf, static_cast<size_t>(n));
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else {
      break;
    }
  }
  close(fd);
  return text;
}

// The last whole line of |text| as a number, or |otherwise|.
uint32_t LastReported(const std::string& text, uint32_t otherwise) {
  const size_t end = text.rfind('\n');
  if (end == std::string::npos) return otherwise;
  const size_t start = text.rfind('\n', end - 1);
  const std::string line =
      text.substr(start == std::string::npos || end == 0 ? 0 : start + 1,
                  end - (start == std::string::npos || end == 0 ? 0 : start + 1));
  return static_cast<uint32_t>(std::strtoul(line.c_str(), nullptr, 10));
}

TEST(KillTest, EveryKillLeavesTheOldOrTheNewGeneration) {
  orvo::testing::TempDir dir;
  ASSERT_TRUE(dir.ok());
  const std::string file = dir.NativePath(u"InstallApp.set").string();
  const std::u16string path = dir.Path(u"InstallApp.set");
  std::mt19937 rng(20240601);

  // The pace: three helpers run to their first report.
  std::vector<long> first_save_us;
  for (int i = 0; i < 3; ++i) {
    const auto t0 = std::chrono::steady_clock::now();
    Child child = Start(file);
    ASSERT_GT(child.pid, 0);
    char c = 0;
    while (read(child.out, &c, 1) == 1 && c != '\n') {
    }
    first_save_us.push_back(static_cast<long>(
        std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - t0)
            .count()));
    kill(child.pid, SIGKILL);
    int status = 0;
    waitpid(child.pid, &status, 0);
    Drain(child.out);
  }
  std::sort(first_save_us.begin(), first_save_us.end());
  const long max_delay_us =
      std::min(std::max(2 * first_save_us[1], kMinMaxDelayUs), kMaxMaxDelayUs);

  uint32_t current = 0;  // the generation the file holds
  {
    auto config =
        CfRef<CConfigFile>::Adopt(CreateConfigFile(path.c_str(), orvo::platform::kOpenExisting));
    ASSERT_TRUE(config);
    std::string why;
    ASSERT_TRUE(orvo::testing::ReadGeneration(config.get(), &current, &why)) << why;
  }
  int rounds = 0, advanced_unreported = 0, recovered = 0, left_mid_save = 0;
  const auto started = std::chrono::steady_clock::now();
  for (; rounds < kRounds && std::chrono::steady_clock::now() - started < kTimeLimit; ++rounds) {
    Child child = Start(file);
    ASSERT_GT(child.pid, 0);
    const long us = std::uniform_int_distribution<long>(0, max_delay_us)(rng);
    struct timespec ts = {us / 1000000, (us % 1000000) * 1000};
    nanosleep(&ts, nullptr);
    kill(child.pid, SIGKILL);
    int status = 0;
    ASSERT_EQ(waitpid(child.pid, &status, 0), child.pid);
    const std::string out = Drain(child.out);
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL)
        << "the helper stopped by itself, status " << status << ", round " << rounds;
    const uint32_t reported = LastReported(out, current);
    ASSERT_GE(reported, current) << "round " << rounds;

    // What a reader of the file alone sees, and where the store reads from.
    CfFileReport report;
    ASSERT_TRUE(InspectConfigFile(path.c_str(), &report, nullptr) || current == 0);
    if (report.opened && report.state != CfFileState::kLoaded) ++left_mid_save;
    CfNode* root = nullptr;
    CfHeaderImage image;
    CfLoadReport load;
    if (LoadConfigFile(path.c_str(), orvo::platform::kOpenExisting, &root, &image, &load)) {
      FreeNodeTree(root, nullptr);
      if (load.source == CfTreeSource::kSideFile) ++recovered;
    }

    auto config =
        CfRef<CConfigFile>::Adopt(CreateConfigFile(path.c_str(), orvo::platform::kOpenAlways));
    ASSERT_TRUE(config);
    uint32_t g = 0;
    std::string why;
    ASSERT_TRUE(orvo::testing::ReadGeneration(config.get(), &g, &why))
        << why << ", round " << rounds << ", last reported " << reported;
    ASSERT_TRUE(g == reported || g == reported + 1)
        << "generation " << g << " after reports up to " << reported << ", round " << rounds;
    if (g == reported + 1) ++advanced_unreported;
    current = g;
  }
  std::printf(
      "[ figures  ] %d kills within %.1f ms of the start, in %.1f s; the file reached generation "
      "%u; %d kills after a save's "
      "commit and before its report; %d left the file mid-save (plain reader: unusable), %d "
      "opened from the side file\n",
      rounds, max_delay_us / 1000.0,
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count(), current,
      advanced_unreported, left_mid_save, recovered);
  EXPECT_GT(current, 0u);  // the helper got to save at all
}

}  // namespace
