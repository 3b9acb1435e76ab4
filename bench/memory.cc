// Peak memory of a load, measured in a fresh process so that nothing else the
// benchmark did counts: the child resets its peak resident set, loads the file
// and reports its resident set and heap figures.
#include <malloc.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>

#include "bench/bench.h"
#include "bench/workload.h"
#include "rapidjson/document.h"
#include "store/config_file.h"

using orvo::store::CreateConfigFile;

extern char** environ;

namespace orvo::bench {

namespace {

// A field of /proc/self/status in bytes (the kernel reports kB).
uint64_t StatusBytes(const char* field) {
  std::ifstream in("/proc/self/status");
  std::string line;
  const size_t n = std::strlen(field);
  while (std::getline(in, line)) {
    if (line.compare(0, n, field) == 0 && line.size() > n && line[n] == ':') {
      return std::strtoull(line.c_str() + n + 1, nullptr, 10) * 1024;
    }
  }
  return 0;
}

uint64_t HeapInUse() {
  const struct mallinfo2 mi = mallinfo2();
  return mi.uordblks + mi.hblkhd;
}

}  // namespace

int MemoryChild(const std::string& request) {
  const size_t colon = request.find(':');
  if (colon == std::string::npos) return 2;
  const std::string kind = request.substr(0, colon);
  const std::string path = request.substr(colon + 1);
  const std::u16string path16 = Utf16Path(path);
  // Writing 5 to clear_refs resets the peak resident set to the current one.
  {
    std::ofstream clear("/proc/self/clear_refs");
    clear << "5";
  }
  const uint64_t before = StatusBytes("VmRSS");
  CConfigFile* file = nullptr;
  std::unique_ptr<rapidjson::Document> doc;
  char* text = nullptr;
  if (kind == "store") {
    file = CreateConfigFile(path16.c_str(), 3 /* OPEN_EXISTING */);
    if (file == nullptr) return 1;
  } else if (kind == "rapidjson") {
    std::string bytes;
    if (!ReadWholeFile(path, &bytes)) return 1;
    // The text stays: the DOM's strings are copies, but a reader keeps its
    // input until it is done with it.
    text = static_cast<char*>(std::malloc(bytes.size() + 1));
    std::memcpy(text, bytes.data(), bytes.size());
    text[bytes.size()] = 0;
    bytes = std::string();
    doc = std::make_unique<rapidjson::Document>();
    if (doc->Parse(text).HasParseError()) return 1;
    std::free(text);
  } else {
    return 2;
  }
  std::printf("%llu %llu %llu %llu\n", static_cast<unsigned long long>(before),
              static_cast<unsigned long long>(StatusBytes("VmHWM")),
              static_cast<unsigned long long>(StatusBytes("VmRSS")),
              static_cast<unsigned long long>(HeapInUse()));
  std::fflush(stdout);
  if (file != nullptr) file->Release();
  return 0;
}

MemoryFigures MeasureMemory(const std::string& kind, const std::string& path) {
  MemoryFigures m;
  m.file_bytes = FileSize(path);
  int fds[2];
  if (pipe(fds) != 0) return m;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
  posix_spawn_file_actions_addclose(&actions, fds[0]);
  const std::string arg = "--orvo_memory=" + kind + ":" + path;
  char exe[] = "/proc/self/exe";
  char* argv[] = {exe, const_cast<char*>(arg.c_str()), nullptr};
  pid_t pid = 0;
  const int rc = posix_spawn(&pid, exe, &actions, nullptr, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  close(fds[1]);
  std::string out;
  char buf[256];
  ssize_t r;
  while ((r = read(fds[0], buf, sizeof(buf))) > 0) out.append(buf, static_cast<size_t>(r));
  close(fds[0]);
  if (rc != 0) return m;
  int status = 0;
  waitpid(pid, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return m;
  std::istringstream in(out);
  unsigned long long before, peak, after, heap;
  if (in >> before >> peak >> after >> heap) {
    m.ok = true;
    m.rss_before = before;
    m.peak = peak;
    m.rss_after = after;
    m.heap = heap;
  }
  return m;
}

}  // namespace orvo::bench
