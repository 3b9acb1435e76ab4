// Shared pieces of the benchmark program: its settings, the workload files
// per size, the results collected from Google Benchmark and the groups of
// benchmarks.
#ifndef ORVO_BENCH_BENCH_H_
#define ORVO_BENCH_BENCH_H_

#include <benchmark/benchmark.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace orvo::bench {

// The files of one workload size.
struct Workload {
  uint64_t n = 0;
  std::string set;     // "InstallApp.set" with n records (never written by a benchmark)
  std::string json;    // the same content as a JSON document
  std::string sqlite;  // the same content as an SQLite database
  std::string dir;     // a folder for this size's output files
};

struct Config {
  std::string work;  // the folder of workloads and output files
  std::vector<Workload> workloads;
  bool smoke = false;     // one short run of every benchmark, N = 100 only
  int repetitions = 3;    // runs of each benchmark, to show the noise
  double min_time = 0.2;  // seconds per run, where the iteration count is not fixed
  bool cpu_time = false;  // figures are CPU time of the benchmark thread, not wall time
};

// Time per iteration of every run of one benchmark, in nanoseconds.
struct Measurement {
  std::vector<double> ns;
  double Median() const;
  double Min() const;
  double Max() const;
  // (max - min) / median, as a percentage: the spread between runs.
  double SpreadPercent() const;
};

// Results by the benchmark's registered name.
std::map<std::string, Measurement>& Results();
// The median of a benchmark, or a negative value when it did not run.
double MedianNs(const std::string& name);

// Applies the settings shared by every benchmark: repetitions, real time,
// and |iterations| when not 0 (else the minimum time).
benchmark::internal::Benchmark* Configure(benchmark::internal::Benchmark* b, const Config& config,
                                          int64_t iterations = 0);

// Benchmark groups; each registers its benchmarks under the names the table
// reads (see report.cc).
void RegisterLoadSave(const Config& config);
void RegisterNotify(const Config& config);
void RegisterKeyOps(const Config& config);

// Peak memory of a load, measured in a child process (see memory.cc).
struct MemoryFigures {
  bool ok = false;
  uint64_t file_bytes = 0;
  uint64_t rss_before = 0;  // resident set before the load
  uint64_t peak = 0;        // peak resident set during and after the load
  uint64_t rss_after = 0;   // resident set after the load, the tree held
  uint64_t heap = 0;        // heap bytes in use after the load (malloc's count)
};
// Runs this program again as "--orvo_memory=<kind>:<path>" and reads what it
// reports. |kind| is "store" (CreateConfigFile) or "rapidjson" (DOM parse).
MemoryFigures MeasureMemory(const std::string& kind, const std::string& path);
// The child side: loads, prints the figures on stdout and returns the exit
// status.
int MemoryChild(const std::string& request);

// The machine's load average now, as "1min 5min 15min".
std::string LoadAverage();

// Prints the comparison table from Results() and the memory figures, with the
// machine and its load average before the run and now.
// Every figure printed is also recorded in |report| (see figures.h).
struct RunReport;
void PrintTable(const Config& config, const MemoryFigures& store_memory,
                const MemoryFigures& rapidjson_memory, const std::string& load_before,
                RunReport* report);

}  // namespace orvo::bench

#endif  // ORVO_BENCH_BENCH_H_
