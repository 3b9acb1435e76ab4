// The comparison table: every figure beside the limit's and the peer's
// figure from the same run, the ratios, and each target with its verdict.
// Figures are medians of the repetitions; "±" gives the spread between the
// fastest and the slowest repetition relative to the median.
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "bench/bench.h"
#include "bench/figures.h"
#include "bench/workload.h"

namespace orvo::bench {

namespace {

std::string Duration(double ns) {
  if (ns < 0) return "-";
  char buf[32];
  const char* unit = "ns";
  double v = ns;
  if (v >= 1e9) {
    v /= 1e9;
    unit = "s";
  } else if (v >= 1e6) {
    v /= 1e6;
    unit = "ms";
  } else if (v >= 1e3) {
    v /= 1e3;
    unit = "us";
  }
  std::snprintf(buf, sizeof(buf), v >= 100 ? "%.0f %s" : v >= 10 ? "%.1f %s" : "%.2f %s", v, unit);
  return buf;
}

// A median with its spread, e.g. "1.23 ms ±4%".
std::string Figure(const std::string& name) {
  auto it = Results().find(name);
  if (it == Results().end() || it->second.ns.empty()) return "-";
  const Measurement& m = it->second;
  char buf[48];
  if (m.ns.size() > 1) {
    std::snprintf(buf, sizeof(buf), "%s ±%.0f%%", Duration(m.Median()).c_str(), m.SpreadPercent());
  } else {
    std::snprintf(buf, sizeof(buf), "%s", Duration(m.Median()).c_str());
  }
  return buf;
}

std::string Ratio(double a, double b) {
  if (a <= 0 || b <= 0) return "-";
  char buf[32];
  std::snprintf(buf, sizeof(buf), a / b >= 10 ? "%.0fx" : "%.2fx", a / b);
  return buf;
}

std::string Bytes(uint64_t b) {
  char buf[32];
  if (b >= (1u << 20)) {
    std::snprintf(buf, sizeof(buf), "%.1f MiB", b / 1048576.0);
  } else {
    std::snprintf(buf, sizeof(buf), "%.1f KiB", b / 1024.0);
  }
  return buf;
}

// One verdict line of the summary.
struct Verdict {
  std::string target, measured;
  bool met;
};
std::vector<Verdict>& Verdicts() {
  static std::vector<Verdict> v;
  return v;
}
void Judge(FigureRecord& f, const std::string& target, const std::string& measured, bool met) {
  Verdicts().push_back({target, measured, met});
  f.targets.push_back({target, measured, met});
}

// Starts the record of one figure of the table.
FigureRecord& Record(RunReport* report, const std::string& section, const std::string& case_name,
                     int64_t n, const std::string& benchmark) {
  FigureRecord& f = report->figures.emplace_back();
  f.section = section;
  f.case_name = case_name;
  f.n = n;
  f.store = TimingOf(benchmark);
  return f;
}

double Quotient(double a, double b) { return a > 0 && b > 0 ? a / b : -1; }

// Sets the limit (or floor) a figure is shown beside; the ratio is store/limit.
void Limit(FigureRecord& f, const std::string& label, const std::string& benchmark) {
  f.has_limit = true;
  f.limit.label = label;
  f.limit.timing = TimingOf(benchmark);
  f.limit.ratio = Quotient(f.store.median_ns, f.limit.timing.median_ns);
  f.limit.ratio_of = "store/limit";
}

// Sets the peer a figure is shown beside; the ratio is peer/store when
// |peer_over_store|, else store/peer, as the table gives it.
void Peer(FigureRecord& f, const std::string& label, const std::string& benchmark,
          bool peer_over_store) {
  f.has_peer = true;
  f.peer.label = label;
  f.peer.timing = TimingOf(benchmark);
  f.peer.ratio = peer_over_store ? Quotient(f.peer.timing.median_ns, f.store.median_ns)
                                 : Quotient(f.store.median_ns, f.peer.timing.median_ns);
  f.peer.ratio_of = peer_over_store ? "peer/store" : "store/peer";
}

// The CPU's model name, from the kernel's view of the machine.
std::string CpuModel() {
  std::ifstream in("/proc/cpuinfo");
  std::string line, model = "unknown CPU";
  while (std::getline(in, line)) {
    if (line.compare(0, 10, "model name") == 0) {
      const size_t colon = line.find(':');
      if (colon != std::string::npos) model = line.substr(colon + 2);
      break;
    }
  }
  return model;
}

// "<cpus> x <model>".
std::string MachineText() {
  return std::to_string(sysconf(_SC_NPROCESSORS_ONLN)) + " x " + CpuModel();
}

std::string LoadText() {
  std::ifstream in("/proc/loadavg");
  double a = 0, b = 0, c = 0;
  in >> a >> b >> c;
  char buf[64];
  std::snprintf(buf, sizeof(buf), "%.2f %.2f %.2f", a, b, c);
  return buf;
}

const char* YesNo(bool met) { return met ? "met" : "NOT met"; }

void Row(const std::vector<std::string>& cells, const std::vector<int>& widths) {
  std::string line;
  for (size_t i = 0; i < cells.size(); ++i) {
    char buf[128];
    std::snprintf(buf, sizeof(buf), i == 0 ? "%-*s" : "  %*s", widths[i], cells[i].c_str());
    line += buf;
  }
  std::printf("%s\n", line.c_str());
}

void LoadTable(const Config& config, RunReport* report) {
  std::printf("\n1. Load: CreateConfigFile on the file (read, checksum, parse)\n");
  const std::vector<int> w = {7, 10, 15, 15, 11, 10, 15, 11, 15};
  Row({"N", ".set", "store", "read+memcpy", "store/lim", ".json", "RapidJSON DOM", "RJ/store",
       "Release (free)"},
      w);
  for (const Workload& wl : config.workloads) {
    const std::string n = std::to_string(wl.n);
    const double s = MedianNs("load/store/" + n), l = MedianNs("load/limit/" + n),
                 r = MedianNs("load/rapidjson/" + n);
    Row({n, Bytes(FileSize(wl.set)), Figure("load/store/" + n), Figure("load/limit/" + n),
         Ratio(s, l), Bytes(FileSize(wl.json)), Figure("load/rapidjson/" + n), Ratio(r, s),
         Figure("release/store/" + n)},
        w);
    FigureRecord& f = Record(report, "load", "CreateConfigFile", wl.n, "load/store/" + n);
    Limit(f, "read+memcpy", "load/limit/" + n);
    Peer(f, "RapidJSON DOM", "load/rapidjson/" + n, true);
    f.extra = {{"file_bytes", static_cast<double>(FileSize(wl.set))},
               {"peer_file_bytes", static_cast<double>(FileSize(wl.json))}};
    Record(report, "load", "Release (free)", wl.n, "release/store/" + n);
    if (s > 0 && l > 0) {
      Judge(f, "load N=" + n + " within 4x of read+memcpy", Ratio(s, l), s <= 4 * l);
    }
    if (s > 0 && r > 0) {
      Judge(f, "load N=" + n + " >= 2x faster than RapidJSON", Ratio(r, s), r >= 2 * s);
    }
  }
}

void SaveTable(const Config& config, RunReport* report) {
  std::printf("\n2. Save of the loaded tree (serialise, checksum, write; no flush)\n");
  const std::vector<int> w = {7, 15, 15, 11, 15, 11};
  Row({"N", "store", "write bytes", "store/lim", "RapidJSON write", "RJ/store"}, w);
  for (const Workload& wl : config.workloads) {
    const std::string n = std::to_string(wl.n);
    const double s = MedianNs("save/store/" + n), l = MedianNs("save/limit/" + n),
                 r = MedianNs("save/rapidjson/" + n);
    Row({n, Figure("save/store/" + n), Figure("save/limit/" + n), Ratio(s, l),
         Figure("save/rapidjson/" + n), Ratio(r, s)},
        w);
    FigureRecord& f = Record(report, "save", "save, no flush", wl.n, "save/store/" + n);
    Limit(f, "write bytes", "save/limit/" + n);
    Peer(f, "RapidJSON write", "save/rapidjson/" + n, true);
    if (s > 0 && l > 0) {
      Judge(f, "save N=" + n + " within 3x of writing the bytes", Ratio(s, l), s <= 3 * l);
    }
    if (s > 0 && r > 0) {
      Judge(f, "save N=" + n + " >= 3x faster than RapidJSON", Ratio(r, s), r >= 3 * s);
    }
  }
}

void ChecksumTable(const Config& config, RunReport* report) {
  std::printf(
      "\n   Part of both: the body checksum (CfChecksum) vs one vectorised read (memchr)\n");
  const std::vector<int> w = {7, 15, 15, 11, 11};
  Row({"N", "CfChecksum", "memchr", "sum/read", "GB/s"}, w);
  for (const Workload& wl : config.workloads) {
    const std::string n = std::to_string(wl.n);
    const double s = MedianNs("checksum/store/" + n), f = MedianNs("checksum/floor/" + n);
    char rate[32] = "-";
    if (s > 0) std::snprintf(rate, sizeof(rate), "%.1f", (FileSize(wl.set) - 512) / s);
    Row({n, Figure("checksum/store/" + n), Figure("checksum/floor/" + n), Ratio(s, f), rate}, w);
    FigureRecord& r = Record(report, "checksum", "CfChecksum", wl.n, "checksum/store/" + n);
    Limit(r, "memchr", "checksum/floor/" + n);
    r.extra = {{"gb_per_s", s > 0 ? (FileSize(wl.set) - 512) / s : -1}};
  }
}

void NotifyTable(const Config& config, RunReport* report) {
  std::printf(
      "\n3. NotifyApplicationInstalled end to end vs SQLite (open, insert in a transaction, "
      "close)\n");
  std::printf(
      "   growth: time at N over time at the N before; 'limit growth' is the same for reading and\n"
      "   copying the file once (section 1), which shows what the machine's memory does at that "
      "N\n");
  std::printf(
      "   SQLite WAL: write-ahead log with synchronous=FULL (durable rows only); 1 flush: writing\n"
      "   the file's bytes (not timed) and flushing them once, the floor under any durable save\n");
  const std::vector<int> w = {16, 7, 15, 15, 12, 15, 10, 15, 10, 18, 12};
  Row({"case", "N", "store", "SQLite", "store/SQLite", "SQLite WAL", "store/WAL", "1 flush",
       "store/fl", "store growth", "limit growth"},
      w);
  const struct {
    const char* kind;
    const char* label;
  } kinds[] = {{"notify_new", "new, no flush"},
               {"notify_new_flush", "new, durable"},
               {"notify_dup", "dup, no flush"},
               {"notify_dup_flush", "dup, durable"}};
  for (const auto& k : kinds) {
    double previous = -1;
    uint64_t previous_n = 0;
    for (const Workload& wl : config.workloads) {
      const std::string n = std::to_string(wl.n);
      const std::string store = std::string(k.kind) + "/store/" + n;
      const std::string sqlite = std::string(k.kind) + "/sqlite/" + n;
      const bool durable = std::string(k.kind).find("flush") != std::string::npos;
      const std::string wal = std::string(k.kind) + "/sqlite_wal/" + n;
      const std::string flush = "flush/limit/" + n;
      const double s = MedianNs(store), q = MedianNs(sqlite);
      const double qw = durable ? MedianNs(wal) : -1, fl = durable ? MedianNs(flush) : -1;
      FigureRecord& f = Record(report, "notify", k.label, wl.n, store);
      Peer(f, "SQLite", sqlite, false);
      if (durable && fl > 0) Limit(f, "1 flush", flush);
      std::string growth = "-", limit_growth = "-";
      const double limit = MedianNs("load/limit/" + n);
      const double previous_limit = MedianNs("load/limit/" + std::to_string(previous_n));
      if (limit > 0 && previous_limit > 0) limit_growth = Ratio(limit, previous_limit);
      f.extra = {{"growth", Quotient(s, previous)},
                 {"growth_per", previous_n > 0 ? static_cast<double>(wl.n / previous_n) : -1},
                 {"limit_growth", Quotient(limit, previous_limit)},
                 {"sqlite_wal_ns", qw},
                 {"store_over_sqlite_wal", Quotient(s, qw)}};
      if (previous > 0 && s > 0) {
        growth = Ratio(s, previous) + " per " + std::to_string(wl.n / previous_n) + "x";
        // Linear: 10x the records, at most 12x the time.
        const double allowed = 1.2 * static_cast<double>(wl.n) / previous_n;
        Judge(f,
              std::string("notify ") + k.label + " " + std::to_string(previous_n) + "->" + n +
                  " at most " + Ratio(allowed, 1) + " time",
              Ratio(s, previous), s <= allowed * previous);
      }
      Row({k.label, n, Figure(store), Figure(sqlite), Ratio(s, q), durable ? Figure(wal) : "-",
           Ratio(s, qw), durable ? Figure(flush) : "-", Ratio(s, fl), growth, limit_growth},
          w);
      if (wl.n == 100 && s > 0 && q > 0 && std::string(k.kind).find("flush") != std::string::npos) {
        Judge(f, std::string("notify ") + k.label + " N=100 faster than SQLite", Ratio(s, q),
              s < q);
      }
      previous = s;
      previous_n = wl.n;
    }
  }
}

void KeyTable(RunReport* report) {
  std::printf("\n4. Key operations, per operation (10 000 siblings where it applies)\n");
  const std::vector<int> w = {44, 15, 15, 11};
  Row({"operation", "store", "floor", "store/floor"}, w);
  const struct {
    const char* id;
    const char* label;
    double target_ns;
  } ops[] = {
      {"find_hit", "FindChild hit + Release  | map.find", 150},
      {"find_miss", "FindChild miss           | map.find", 100},
      {"by_id", "GetChildById walk step   | map.find", 0},
      {"open3", "OpenKey, 3 levels        | 3x map.find", 0},
      {"obtain", "GetFirstChild + Release  | malloc+free", 50},
      {"set_same", "SetValue, same length    | u16string assign", 0},
      {"set_grow", "SetValue shrink+grow pair| malloc+copy+free", 0},
      {"find_unsorted", "FindChildByName, unsorted| the same, sorted", 0},
  };
  for (const auto& op : ops) {
    const std::string s = std::string("key/") + op.id + "/store";
    const std::string f = std::string("key/") + op.id + "/floor";
    Row({op.label, Figure(s), Figure(f), Ratio(MedianNs(s), MedianNs(f))}, w);
    FigureRecord& r = Record(report, "key", op.id, -1, s);
    Limit(r, std::string(op.label).substr(std::string(op.label).find('|') + 2), f);
    r.extra = {{"target_ns", op.target_ns > 0 ? op.target_ns : -1}};
    if (op.target_ns > 0 && MedianNs(s) > 0) {
      Judge(r, std::string(op.label).substr(0, 25) + " under " + Duration(op.target_ns),
            Duration(MedianNs(s)), MedianNs(s) < op.target_ns);
    }
  }
}

void MemoryTable(const Config& config, const MemoryFigures& store, const MemoryFigures& rj,
                 RunReport* report) {
  if (config.workloads.empty()) return;
  const Workload& wl = config.workloads.back();
  std::printf("\n5. Memory after loading the %llu-record file (fresh process)\n",
              static_cast<unsigned long long>(wl.n));
  const std::vector<int> w = {22, 11, 13, 11, 13, 11, 11, 11};
  Row({"loader", "file", "peak RSS +", "peak/file", "RSS after +", "after/file", "heap",
       "heap/file"},
      w);
  const auto line = [&](const char* name, const MemoryFigures& m) {
    // Not timed: the figures are bytes (null when the child failed).
    FigureRecord& r = Record(report, "memory", name, static_cast<int64_t>(wl.n), "");
    const double file = m.ok ? static_cast<double>(m.file_bytes) : -1;
    const double peak = m.ok ? static_cast<double>(m.peak - m.rss_before) : -1;
    const double after = m.ok ? static_cast<double>(m.rss_after - m.rss_before) : -1;
    const double heap = m.ok ? static_cast<double>(m.heap) : -1;
    r.extra = {{"file_bytes", file},
               {"peak_rss_bytes", peak},
               {"peak_per_file", Quotient(peak, file)},
               {"rss_after_bytes", after},
               {"after_per_file", Quotient(after, file)},
               {"heap_bytes", heap},
               {"heap_per_file", Quotient(heap, file)}};
    if (!m.ok) {
      Row({name, "-", "-", "-", "-", "-", "-", "-"}, w);
      return;
    }
    const double f = static_cast<double>(m.file_bytes);
    Row({name, Bytes(m.file_bytes), Bytes(m.peak - m.rss_before),
         Ratio(static_cast<double>(m.peak - m.rss_before), f), Bytes(m.rss_after - m.rss_before),
         Ratio(static_cast<double>(m.rss_after - m.rss_before), f), Bytes(m.heap),
         Ratio(static_cast<double>(m.heap), f)},
        w);
  };
  line("store (.set)", store);
  FigureRecord& stored = report->figures.back();
  line("RapidJSON DOM (.json)", rj);
  if (store.ok) {
    const double peak = static_cast<double>(store.peak - store.rss_before);
    Judge(stored, "memory: peak RSS after load at most 2.5x the file",
          Ratio(peak, static_cast<double>(store.file_bytes)),
          peak <= 2.5 * static_cast<double>(store.file_bytes));
  }
}

}  // namespace

void PrintTable(const Config& config, const MemoryFigures& store_memory,
                const MemoryFigures& rapidjson_memory, const std::string& load_before,
                RunReport* report) {
  Verdicts().clear();
  report->cpu = CpuModel();
  report->cpus = sysconf(_SC_NPROCESSORS_ONLN);
  report->load_before = load_before;
  report->load_after = LoadText();
  std::printf(
      "\n=== OrvoComm store benchmark: medians of %d runs (%s), ± spread (max-min)/median ===\n",
      config.repetitions, config.cpu_time ? "CPU time" : "wall time");
  std::printf("machine: %s; load average before %s, after %s\n", MachineText().c_str(),
              load_before.c_str(), report->load_after.c_str());
  LoadTable(config, report);
  SaveTable(config, report);
  ChecksumTable(config, report);
  NotifyTable(config, report);
  KeyTable(report);
  MemoryTable(config, store_memory, rapidjson_memory, report);
  std::printf("\nTargets\n");
  int met = 0;
  for (const Verdict& v : Verdicts()) {
    std::printf("  %-7s  %-58s measured %s\n", YesNo(v.met), v.target.c_str(), v.measured.c_str());
    met += v.met ? 1 : 0;
  }
  std::printf("  %d of %zu targets met\n", met, Verdicts().size());
  report->targets_met = met;
  report->targets_total = static_cast<int>(Verdicts().size());
}

std::string LoadAverage() { return LoadText(); }

}  // namespace orvo::bench
