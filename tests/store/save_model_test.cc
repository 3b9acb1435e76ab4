// Random runs of the save model: saves by several objects, failures and
// crashes at any call, and changes from outside, each step checked.
#include "tests/store/save_model.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <random>
#include <string>

namespace {

TEST(SaveModelTest, RandomRunsKeepEveryProperty) {
  constexpr int kRuns = 2000;
  constexpr int kStepsPerRun = 40;
  int steps = 0;
  // ORVO_MODEL_RUN=N replays run N alone (with ORVO_MODEL_TRACE=1, traced).
  const char* only = std::getenv("ORVO_MODEL_RUN");
  for (int run = only ? std::atoi(only) : 0; run < (only ? std::atoi(only) + 1 : kRuns); ++run) {
    std::mt19937 rng(static_cast<uint32_t>(run));
    orvo::testing::SaveModel model;
    for (int i = 0; i < kStepsPerRun; ++i) {
      // Saves twice as often as the rest, so that states build up.
      const uint32_t pick = rng() % (orvo::testing::SaveModel::kSteps + 3);
      const uint32_t op = pick >= orvo::testing::SaveModel::kSteps ? pick % 2 : pick;
      std::string why;
      ++steps;
      ASSERT_TRUE(model.Step(op, static_cast<uint32_t>(rng()), &why))
          << why << "\nrun " << run << ", steps " << model.history();
    }
  }
  std::printf("[ figures  ] %d runs, %d steps\n", kRuns, steps);
}

}  // namespace
