// Load and save of a registration file, against the machine's limit (the same
// bytes read and copied once; the same bytes written) and against RapidJSON
// (its DOM parse of the same content as JSON; its writer writing that DOM).
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "bench/bench.h"
#include "bench/flush_control.h"
#include "bench/workload.h"
#include "rapidjson/document.h"
#include "rapidjson/filewritestream.h"
#include "rapidjson/writer.h"
#include "store/config_file.h"
#include "store/format.h"
#include "store/ref.h"

using orvo::store::CfChecksum;
using orvo::store::CreateConfigFile;

namespace orvo::bench {

namespace {

constexpr uint32_t kOpenExisting = kCfOpenExisting;

// Reads a whole file into a new malloc'd buffer, as a loader does. Returns
// null on failure.
char* ReadFile(const std::string& path, size_t* size) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return nullptr;
  struct stat st;
  char* buf = nullptr;
  if (fstat(fd, &st) == 0 && (buf = static_cast<char*>(std::malloc(st.st_size + 1))) != nullptr) {
    size_t done = 0;
    while (done < static_cast<size_t>(st.st_size)) {
      const ssize_t r = read(fd, buf + done, st.st_size - done);
      if (r <= 0) break;
      done += static_cast<size_t>(r);
    }
    if (done != static_cast<size_t>(st.st_size)) {
      std::free(buf);
      buf = nullptr;
    }
    *size = done;
  }
  close(fd);
  return buf;
}

// Overwrites |path| from offset 0 with |data| (no truncation, no flush), as
// the store's save overwrites its file in place.
bool WriteInPlace(const std::string& path, const std::string& data) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) return false;
  size_t done = 0;
  while (done < data.size()) {
    const ssize_t r = pwrite(fd, data.data() + done, data.size() - done, static_cast<off_t>(done));
    if (r <= 0) break;
    done += static_cast<size_t>(r);
  }
  return close(fd) == 0 && done == data.size();
}

void LoadStore(benchmark::State& state, const Workload* w) {
  const std::u16string path = Utf16Path(w->set);
  for (auto _ : state) {
    CConfigFile* file = CreateConfigFile(path.c_str(), kOpenExisting);
    if (file == nullptr) {
      state.SkipWithError("CreateConfigFile failed");
      break;
    }
    state.PauseTiming();
    file->Release();
    state.ResumeTiming();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * FileSize(w->set)));
}

// The other half of a call's file object: its last Release frees the tree.
void ReleaseStore(benchmark::State& state, const Workload* w) {
  const std::u16string path = Utf16Path(w->set);
  for (auto _ : state) {
    state.PauseTiming();
    CConfigFile* file = CreateConfigFile(path.c_str(), kOpenExisting);
    state.ResumeTiming();
    if (file == nullptr) {
      state.SkipWithError("CreateConfigFile failed");
      break;
    }
    file->Release();
  }
}

void LoadCopyLimit(benchmark::State& state, const Workload* w) {
  for (auto _ : state) {
    size_t size = 0;
    char* bytes = ReadFile(w->set, &size);
    char* copy = static_cast<char*>(std::malloc(size));
    if (bytes == nullptr || copy == nullptr) {
      state.SkipWithError("read failed");
      break;
    }
    std::memcpy(copy, bytes, size);
    benchmark::DoNotOptimize(copy);
    benchmark::ClobberMemory();
    state.PauseTiming();
    std::free(bytes);
    std::free(copy);
    state.ResumeTiming();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * FileSize(w->set)));
}

void LoadRapidJson(benchmark::State& state, const Workload* w) {
  for (auto _ : state) {
    size_t size = 0;
    char* text = ReadFile(w->json, &size);
    auto doc = std::make_unique<rapidjson::Document>();
    if (text == nullptr || doc->Parse(text, size).HasParseError()) {
      state.SkipWithError("RapidJSON parse failed");
      std::free(text);
      break;
    }
    state.PauseTiming();
    doc.reset();
    std::free(text);
    state.ResumeTiming();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * FileSize(w->json)));
}

void SaveStore(benchmark::State& state, const Workload* w) {
  auto file = CfRef<CConfigFile>::Adopt(CreateConfigFile(Utf16Path(w->set).c_str(), kOpenExisting));
  const std::u16string out = Utf16Path(w->dir + "/save_store.set");
  NoFlushScope no_flush;
  for (auto _ : state) {
    if (!file || !file->Save(out.c_str())) {
      state.SkipWithError("Save failed");
      break;
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * FileSize(w->set)));
}

void SaveWriteLimit(benchmark::State& state, const Workload* w) {
  std::string bytes;
  if (!ReadWholeFile(w->set, &bytes)) {
    state.SkipWithError("read failed");
    return;
  }
  const std::string out = w->dir + "/save_limit.set";
  for (auto _ : state) {
    if (!WriteInPlace(out, bytes)) {
      state.SkipWithError("write failed");
      break;
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes.size()));
}

void SaveRapidJson(benchmark::State& state, const Workload* w) {
  size_t size = 0;
  char* text = ReadFile(w->json, &size);
  rapidjson::Document doc;
  if (text == nullptr || doc.Parse(text, size).HasParseError()) {
    std::free(text);
    state.SkipWithError("RapidJSON parse failed");
    return;
  }
  std::free(text);
  const std::string out = w->dir + "/save_rapidjson.json";
  if (FileSize(out) != size) WriteWholeFile(out, std::string(size, ' '));
  char buffer[65536];
  for (auto _ : state) {
    // Overwritten in place, like the other two.
    FILE* fp = std::fopen(out.c_str(), "r+b");
    if (fp == nullptr) {
      state.SkipWithError("fopen failed");
      break;
    }
    rapidjson::FileWriteStream stream(fp, buffer, sizeof(buffer));
    rapidjson::Writer<rapidjson::FileWriteStream> writer(stream);
    const bool ok = doc.Accept(writer);
    stream.Flush();
    if (std::fclose(fp) != 0 || !ok) {
      state.SkipWithError("RapidJSON write failed");
      break;
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * size));
}

// The body checksum alone, against reading the same bytes once (memchr for a
// byte that is not there: the C library's vectorised scan).
void ChecksumStore(benchmark::State& state, const Workload* w) {
  std::string file;
  if (!ReadWholeFile(w->set, &file) || file.size() <= kCfHeaderSize) {
    state.SkipWithError("read failed");
    return;
  }
  const uint8_t* body = reinterpret_cast<const uint8_t*>(file.data()) + kCfHeaderSize;
  const size_t size = file.size() - kCfHeaderSize;
  for (auto _ : state) benchmark::DoNotOptimize(CfChecksum(body, size));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * size));
}

void ChecksumFloor(benchmark::State& state, const Workload* w) {
  std::string file;
  if (!ReadWholeFile(w->set, &file) || file.size() <= kCfHeaderSize) {
    state.SkipWithError("read failed");
    return;
  }
  std::string body = file.substr(kCfHeaderSize);
  for (char& c : body) c = static_cast<char>(c == '\xff' ? 0 : c);  // 0xFF is then absent
  for (auto _ : state) benchmark::DoNotOptimize(std::memchr(body.data(), 0xFF, body.size()));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * body.size()));
}

}  // namespace

void RegisterLoadSave(const Config& config) {
  for (const Workload& w : config.workloads) {
    const std::string n = std::to_string(w.n);
    const Workload* p = &w;
    Configure(benchmark::RegisterBenchmark(("load/store/" + n).c_str(), LoadStore, p), config);
    Configure(benchmark::RegisterBenchmark(("load/limit/" + n).c_str(), LoadCopyLimit, p), config);
    Configure(benchmark::RegisterBenchmark(("release/store/" + n).c_str(), ReleaseStore, p),
              config);
    Configure(benchmark::RegisterBenchmark(("load/rapidjson/" + n).c_str(), LoadRapidJson, p),
              config);
    Configure(benchmark::RegisterBenchmark(("save/store/" + n).c_str(), SaveStore, p), config);
    Configure(benchmark::RegisterBenchmark(("save/limit/" + n).c_str(), SaveWriteLimit, p), config);
    Configure(benchmark::RegisterBenchmark(("save/rapidjson/" + n).c_str(), SaveRapidJson, p),
              config);
    Configure(benchmark::RegisterBenchmark(("checksum/store/" + n).c_str(), ChecksumStore, p),
              config);
    Configure(benchmark::RegisterBenchmark(("checksum/floor/" + n).c_str(), ChecksumFloor, p),
              config);
  }
}

}  // namespace orvo::bench
