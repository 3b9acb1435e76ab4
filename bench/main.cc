// The benchmark program: generates the workloads (once per work folder), runs
// every benchmark with Google Benchmark, measures the memory of a load in a
// child process and prints the comparison table.
//
// Flags of its own (Google Benchmark's --benchmark_* flags work as well):
//   --orvo_work=DIR        workloads and output files (default ./bench-work)
//   --orvo_sizes=A,B,...   record counts (default 100,1000,10000,100000)
//   --orvo_repetitions=K   runs per benchmark (default 3)
//   --orvo_min_time=S      seconds per run where the count is not fixed
//   --orvo_smoke           N = 100, one short run each: a check that it works
//   --orvo_cpu_time        report the benchmark thread's CPU time instead of
//                          wall time (steadier on a busy machine; meaningless
//                          for the durable rows, which wait for the disk)
//   --orvo_json=FILE       also write every figure of the table to FILE as
//                          JSON (see figures.h); a FILE that cannot be written
//                          fails the run, checked before anything is measured
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "bench/bench.h"
#include "bench/figures.h"
#include "bench/workload.h"

namespace orvo::bench {

namespace {

// Bump when the generated content changes: cached workloads are remade.
constexpr char kGeneratorVersion[] = "orvo-bench-workload 1";

// Collects the time per iteration of every run and shows progress on stderr.
class CollectingReporter final : public benchmark::BenchmarkReporter {
 public:
  explicit CollectingReporter(bool cpu_time) : cpu_time_(cpu_time) {}
  bool ReportContext(const Context& context) override {
    const benchmark::CPUInfo& cpu = context.cpu_info;
    std::fprintf(stderr, "bench: %d CPUs at %.0f MHz; load average", cpu.num_cpus,
                 cpu.cycles_per_second / 1e6);
    for (double l : cpu.load_avg) std::fprintf(stderr, " %.2f", l);
    std::fprintf(stderr, "\n");
    return true;
  }
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.run_type != Run::RT_Iteration) continue;
      const std::string& name = run.run_name.function_name;
      if (run.error_occurred) {
        std::fprintf(stderr, "bench: %s FAILED: %s\n", name.c_str(), run.error_message.c_str());
        failed_names_.push_back(name);
        continue;
      }
      if (run.iterations <= 0) continue;
      const double seconds = cpu_time_ ? run.cpu_accumulated_time : run.real_accumulated_time;
      const double ns = seconds / static_cast<double>(run.iterations) * 1e9;
      Results()[name].ns.push_back(ns);
      std::fprintf(stderr, "bench: %-34s %14.0f ns  (%lld iterations)\n", name.c_str(), ns,
                   static_cast<long long>(run.iterations));
    }
  }
  bool failed() const { return !failed_names_.empty(); }
  const std::vector<std::string>& failed_names() const { return failed_names_; }

 private:
  bool cpu_time_;
  std::vector<std::string> failed_names_;
};

bool TakeFlag(const char* arg, const char* name, std::string* value) {
  const size_t n = std::strlen(name);
  if (std::strncmp(arg, name, n) != 0) return false;
  if (arg[n] == '=') {
    *value = arg + n + 1;
    return true;
  }
  if (arg[n] == 0) {
    value->clear();
    return true;
  }
  return false;
}

bool StampMatches(const std::string& stamp, const std::string& expected) {
  std::string have;
  return ReadWholeFile(stamp, &have) && have == expected;
}

// Makes the files of one size unless the folder already holds them.
bool Prepare(Workload* w) {
  mkdir(w->dir.c_str(), 0777);
  const std::string stamp = w->dir + "/stamp";
  const std::string expected = std::string(kGeneratorVersion) + " " + std::to_string(w->n) + "\n";
  if (StampMatches(stamp, expected) && FileSize(w->set) > 0 && FileSize(w->json) > 0 &&
      FileSize(w->sqlite) > 0) {
    return true;
  }
  std::fprintf(stderr, "bench: generating %llu records in %s\n",
               static_cast<unsigned long long>(w->n), w->dir.c_str());
  unlink(stamp.c_str());
  if (!WriteRegistrationFile(w->set, w->n) || !WriteJsonFile(w->json, w->n) ||
      !WriteSqliteFile(w->sqlite, w->n)) {
    return false;
  }
  return WriteWholeFile(stamp, expected);
}

// The node-level generator must give exactly the file that the key interface
// gives (as the install operations build it); checked on 300 records.
bool CheckGenerator(const Config& config) {
  const std::string by_nodes = config.work + "/check_nodes.set";
  const std::string by_keys = config.work + "/check_keys.set";
  std::string a, b;
  const bool same = WriteRegistrationFile(by_nodes, 300) &&
                    WriteRegistrationFileThroughKeys(by_keys, 300) && ReadWholeFile(by_nodes, &a) &&
                    ReadWholeFile(by_keys, &b) && a == b;
  unlink(by_nodes.c_str());
  unlink(by_keys.c_str());
  return same;
}

std::vector<uint64_t> ParseSizes(const std::string& s) {
  std::vector<uint64_t> sizes;
  size_t i = 0;
  while (i < s.size()) {
    size_t j = s.find(',', i);
    if (j == std::string::npos) j = s.size();
    const uint64_t n = std::strtoull(s.substr(i, j - i).c_str(), nullptr, 10);
    if (n > 0) sizes.push_back(n);
    i = j + 1;
  }
  return sizes;
}

}  // namespace

double Measurement::Median() const {
  if (ns.empty()) return -1;
  std::vector<double> v = ns;
  std::sort(v.begin(), v.end());
  const size_t m = v.size() / 2;
  return v.size() % 2 ? v[m] : (v[m - 1] + v[m]) / 2;
}
double Measurement::Min() const {
  return ns.empty() ? -1 : *std::min_element(ns.begin(), ns.end());
}
double Measurement::Max() const {
  return ns.empty() ? -1 : *std::max_element(ns.begin(), ns.end());
}
double Measurement::SpreadPercent() const {
  const double m = Median();
  return m > 0 ? (Max() - Min()) / m * 100 : 0;
}

std::map<std::string, Measurement>& Results() {
  static std::map<std::string, Measurement> results;
  return results;
}

double MedianNs(const std::string& name) {
  auto it = Results().find(name);
  return it == Results().end() ? -1 : it->second.Median();
}

benchmark::internal::Benchmark* Configure(benchmark::internal::Benchmark* b, const Config& config,
                                          int64_t iterations) {
  b->Repetitions(config.repetitions)->UseRealTime();
  if (iterations > 0 && !config.smoke) {
    b->Iterations(iterations);
  } else {
    b->MinTime(config.min_time);
  }
  return b;
}

}  // namespace orvo::bench

int main(int argc, char** argv) {
  using namespace orvo::bench;
  Config config;
  config.work = "bench-work";
  std::string sizes = "100,1000,10000,100000";
  std::string json_path;
  bool want_json = false;
  std::vector<char*> rest = {argv[0]};
  for (int i = 1; i < argc; ++i) {
    std::string v;
    if (TakeFlag(argv[i], "--orvo_memory", &v)) return MemoryChild(v);
    if (TakeFlag(argv[i], "--orvo_work", &v)) {
      config.work = v;
    } else if (TakeFlag(argv[i], "--orvo_sizes", &v)) {
      sizes = v;
    } else if (TakeFlag(argv[i], "--orvo_repetitions", &v)) {
      config.repetitions = std::max(1, std::atoi(v.c_str()));
    } else if (TakeFlag(argv[i], "--orvo_min_time", &v)) {
      config.min_time = std::atof(v.c_str());
    } else if (TakeFlag(argv[i], "--orvo_cpu_time", &v)) {
      config.cpu_time = true;
    } else if (TakeFlag(argv[i], "--orvo_smoke", &v)) {
      config.smoke = true;
    } else if (TakeFlag(argv[i], "--orvo_json", &v)) {
      json_path = v;
      want_json = true;
    } else {
      rest.push_back(argv[i]);
    }
  }
  if (config.smoke) {
    sizes = "100";
    config.repetitions = 1;
    config.min_time = 0.001;
  }
  if (want_json) {
    std::string error;
    if (json_path.empty()) {
      std::fprintf(stderr, "bench: --orvo_json needs a file name (--orvo_json=FILE)\n");
      return 2;
    }
    if (!CanWrite(json_path, &error)) {
      std::fprintf(stderr, "bench: cannot write the figures: %s\n", error.c_str());
      return 2;
    }
  }
  const std::vector<std::string> benchmark_args(rest.begin() + 1, rest.end());
  int bench_argc = static_cast<int>(rest.size());
  benchmark::Initialize(&bench_argc, rest.data());
  if (benchmark::ReportUnrecognizedArguments(bench_argc, rest.data())) return 2;

  mkdir(config.work.c_str(), 0777);
  for (uint64_t n : ParseSizes(sizes)) {
    Workload w;
    w.n = n;
    w.dir = config.work + "/n" + std::to_string(n);
    w.set = w.dir + "/InstallApp.set";
    w.json = w.dir + "/apps.json";
    w.sqlite = w.dir + "/apps.sqlite";
    config.workloads.push_back(w);
  }
  if (config.workloads.empty()) {
    std::fprintf(stderr, "bench: no sizes given\n");
    return 2;
  }
  for (Workload& w : config.workloads) {
    if (!Prepare(&w)) {
      std::fprintf(stderr, "bench: cannot generate the workload of %llu records\n",
                   static_cast<unsigned long long>(w.n));
      return 1;
    }
  }
  if (!CheckGenerator(config)) {
    std::fprintf(stderr, "bench: the generated file differs from the one built through keys\n");
    return 1;
  }

  const std::string load_before = LoadAverage();
  RegisterLoadSave(config);
  RegisterNotify(config);
  RegisterKeyOps(config);
  CollectingReporter reporter(config.cpu_time);
  benchmark::RunSpecifiedBenchmarks(&reporter);

  const Workload& largest = config.workloads.back();
  const MemoryFigures store_memory = MeasureMemory("store", largest.set);
  const MemoryFigures rapidjson_memory = MeasureMemory("rapidjson", largest.json);
  RunReport report;
  PrintTable(config, store_memory, rapidjson_memory, load_before, &report);
  std::fflush(stdout);
  benchmark::Shutdown();
  bool written = true;
  if (want_json) {
    std::string error;
    written = WriteText(
        json_path, FiguresJson(config, report, benchmark_args, reporter.failed_names()), &error);
    if (written) {
      std::fprintf(stderr, "bench: figures written to %s\n", json_path.c_str());
    } else {
      std::fprintf(stderr, "bench: cannot write the figures: %s\n", error.c_str());
    }
  }
  return reporter.failed() || !store_memory.ok || !written ? 1 : 0;
}
