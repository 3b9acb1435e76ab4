#include "bench/figures.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace orvo::bench {

namespace {

constexpr char kFormat[] = "orvo-bench-figures 1";

std::string Quote(const std::string& s) {
  std::string out = "\"";
  for (unsigned char c : s) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20) {
      char buf[8];
      std::snprintf(buf, sizeof(buf), "\\u%04x", c);
      out += buf;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

// A number, or null for a missing (negative) or non-finite value.
std::string Number(double v) {
  if (!std::isfinite(v) || v < 0) return "null";
  char buf[32];
  std::snprintf(buf, sizeof(buf), "%.6g", v);
  return buf;
}

std::string Bool(bool b) { return b ? "true" : "false"; }

// "a b c" as a JSON array of numbers.
std::string LoadArray(const std::string& text) {
  double a = -1, b = -1, c = -1;
  std::sscanf(text.c_str(), "%lf %lf %lf", &a, &b, &c);
  return "[" + Number(a) + ", " + Number(b) + ", " + Number(c) + "]";
}

std::string StringArray(const std::vector<std::string>& v) {
  std::string out = "[";
  for (size_t i = 0; i < v.size(); ++i) out += (i ? ", " : "") + Quote(v[i]);
  return out + "]";
}

// The fields of a timing, without braces.
std::string TimingFields(const Timing& t) {
  return "\"benchmark\": " + (t.benchmark.empty() ? std::string("null") : Quote(t.benchmark)) +
         ", \"median_ns\": " + Number(t.median_ns) + ", \"min_ns\": " + Number(t.min_ns) +
         ", \"max_ns\": " + Number(t.max_ns) +
         ", \"spread_pct\": " + (t.runs > 0 ? Number(t.spread_pct) : "null") +
         ", \"runs\": " + std::to_string(t.runs);
}

std::string ReferenceJson(bool present, const Reference& r) {
  if (!present) return "null";
  return "{\"label\": " + Quote(r.label) + ", " + TimingFields(r.timing) +
         ", \"ratio\": " + Number(r.ratio) + ", \"ratio_of\": " + Quote(r.ratio_of) + "}";
}

std::string FigureJson(const FigureRecord& f) {
  std::string out =
      "    {\"section\": " + Quote(f.section) + ", \"case\": " + Quote(f.case_name) +
      ", \"n\": " + (f.n >= 0 ? std::to_string(f.n) : "null") + ",\n     " + TimingFields(f.store) +
      ",\n     \"limit\": " + ReferenceJson(f.has_limit, f.limit) +
      ",\n     \"peer\": " + ReferenceJson(f.has_peer, f.peer) + ",\n     \"extra\": {";
  for (size_t i = 0; i < f.extra.size(); ++i) {
    out += (i ? ", " : "") + Quote(f.extra[i].first) + ": " + Number(f.extra[i].second);
  }
  out += "},\n     \"targets\": [";
  for (size_t i = 0; i < f.targets.size(); ++i) {
    const TargetVerdict& t = f.targets[i];
    out += std::string(i ? ", " : "") + "{\"target\": " + Quote(t.target) +
           ", \"measured\": " + Quote(t.measured) + ", \"met\": " + Bool(t.met) + "}";
  }
  return out + "]}";
}

std::string UtcNow() {
  const std::time_t now = std::time(nullptr);
  std::tm tm{};
  gmtime_r(&now, &tm);
  char buf[32];
  std::strftime(buf, sizeof(buf), "%Y-%m-%dT%H:%M:%SZ", &tm);
  return buf;
}

}  // namespace

Timing TimingOf(const std::string& benchmark) {
  Timing t;
  t.benchmark = benchmark;
  auto it = Results().find(benchmark);
  if (it == Results().end() || it->second.ns.empty()) return t;
  const Measurement& m = it->second;
  t.median_ns = m.Median();
  t.min_ns = m.Min();
  t.max_ns = m.Max();
  t.spread_pct = m.SpreadPercent();
  t.runs = static_cast<int>(m.ns.size());
  return t;
}

std::string FiguresJson(const Config& config, const RunReport& report,
                        const std::vector<std::string>& benchmark_args,
                        const std::vector<std::string>& failed) {
  std::string sizes = "[";
  for (size_t i = 0; i < config.workloads.size(); ++i) {
    sizes += (i ? ", " : "") + std::to_string(config.workloads[i].n);
  }
  sizes += "]";
  std::string out = "{\n  \"format\": " + Quote(kFormat) + ",\n  \"date\": " + Quote(UtcNow()) +
                    ",\n  \"machine\": {\"cpu\": " + Quote(report.cpu) +
                    ", \"cpus\": " + std::to_string(report.cpus) +
                    ", \"load_before\": " + LoadArray(report.load_before) +
                    ", \"load_after\": " + LoadArray(report.load_after) + "},\n";
  out += "  \"options\": {\"sizes\": " + sizes +
         ", \"repetitions\": " + std::to_string(config.repetitions) +
         ", \"min_time_s\": " + Number(config.min_time) +
         ", \"time\": " + Quote(config.cpu_time ? "cpu" : "wall") +
         ", \"smoke\": " + Bool(config.smoke) + ", \"work\": " + Quote(config.work) +
         ", \"benchmark_args\": " + StringArray(benchmark_args) + "},\n";
  out += "  \"failed\": " + StringArray(failed) + ",\n";
  out += "  \"targets_met\": " + std::to_string(report.targets_met) +
         ",\n  \"targets_total\": " + std::to_string(report.targets_total) + ",\n";
  out += "  \"figures\": [\n";
  for (size_t i = 0; i < report.figures.size(); ++i) {
    out += FigureJson(report.figures[i]) + (i + 1 < report.figures.size() ? ",\n" : "\n");
  }
  return out + "  ]\n}\n";
}

bool CanWrite(const std::string& path, std::string* error) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (fd >= 0) {
    close(fd);
    unlink(path.c_str());
    return true;
  }
  if (errno == EEXIST) fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
  if (fd >= 0) {
    close(fd);
    return true;
  }
  *error = path + ": " + std::strerror(errno);
  return false;
}

bool WriteText(const std::string& path, const std::string& text, std::string* error) {
  std::FILE* f = std::fopen(path.c_str(), "w");
  if (f == nullptr) {
    *error = path + ": " + std::strerror(errno);
    return false;
  }
  const bool written = std::fwrite(text.data(), 1, text.size(), f) == text.size();
  const bool flushed = std::fflush(f) == 0;
  const int saved = errno;
  const bool closed = std::fclose(f) == 0;
  if (!written || !flushed || !closed) {
    *error = path + ": " + std::strerror(written && flushed && !closed ? errno : saved);
    return false;
  }
  return true;
}

}  // namespace orvo::bench
