// The figures of one run in machine-readable form: every figure the table
// prints, collected while it is printed, and written as one JSON document
// (--orvo_json=FILE) so that runs can be compared. The README's Performance
// section documents the fields; they stay stable.
#ifndef ORVO_BENCH_FIGURES_H_
#define ORVO_BENCH_FIGURES_H_

#include <cstdint>
#include <deque>
#include <string>
#include <utility>
#include <vector>

#include "bench/bench.h"

namespace orvo::bench {

// A timed figure: the repetitions of one benchmark. |benchmark| is empty and
// |median_ns| negative when the figure has none (filtered out, or a memory
// figure).
struct Timing {
  std::string benchmark;  // the registered name, e.g. "load/store/100"
  double median_ns = -1;
  double min_ns = -1;
  double max_ns = -1;
  double spread_pct = 0;  // (max - min) / median, as in the table's "±"
  int runs = 0;
};

// The limit (or floor) or the peer a figure is shown beside, from the same run.
struct Reference {
  std::string label;  // the table's column, e.g. "read+memcpy", "RapidJSON DOM"
  Timing timing;
  double ratio = -1;     // as the table gives it; negative when either is missing
  std::string ratio_of;  // what |ratio| divides: "store/limit", "peer/store", ...
};

struct TargetVerdict {
  std::string target;    // the table's text, e.g. "load N=100 within 4x of read+memcpy"
  std::string measured;  // the table's text, e.g. "17x"
  bool met = false;
};

// One figure: a row of the table (or, for the load's "Release (free)" column
// and each line of the memory section, a figure of its own).
struct FigureRecord {
  std::string section;  // "load", "save", "checksum", "notify", "key", "memory"
  std::string case_name;
  int64_t n = -1;  // records of the workload; -1 where the figure is not per size
  Timing store;
  bool has_limit = false, has_peer = false;
  Reference limit, peer;
  // Further numbers of the row, by name (e.g. "file_bytes", "growth"); a
  // negative value is written as null.
  std::vector<std::pair<std::string, double>> extra;
  std::vector<TargetVerdict> targets;
};

// What the table printed, for the JSON document.
struct RunReport {
  std::string cpu;  // the model name, as on the table's machine line
  long cpus = 0;
  std::string load_before, load_after;  // "1min 5min 15min"
  std::deque<FigureRecord> figures;     // a deque: references stay valid
  int targets_met = 0;
  int targets_total = 0;
};

// The repetitions of |benchmark| from Results() (runs 0 when it did not run).
Timing TimingOf(const std::string& benchmark);

// The whole document: format, date, machine, options, failed benchmarks and
// the figures. |benchmark_args| are the arguments passed to Google Benchmark.
std::string FiguresJson(const Config& config, const RunReport& report,
                        const std::vector<std::string>& benchmark_args,
                        const std::vector<std::string>& failed);

// Checks early that |path| can be written (creating it only for the check);
// on failure sets |error|.
bool CanWrite(const std::string& path, std::string* error);
// Writes |text| to |path|, replacing it; on failure sets |error|.
bool WriteText(const std::string& path, const std::string& text, std::string* error);

}  // namespace orvo::bench

#endif  // ORVO_BENCH_FIGURES_H_
