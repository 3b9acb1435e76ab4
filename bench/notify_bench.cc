// NotifyApplicationInstalled end to end (a new record, and a duplicate of the
// last record) against the same job in SQLite: open the database, one insert
// in a transaction into a table with a unique index on the main program path,
// close. Both without flushing and both with the flushes each needs to be
// durable (the store's own flushes; SQLite's synchronous=FULL with its
// default rollback journal, and durable also with the write-ahead log,
// SQLite's strongest choice for many small transactions). Beside them, the
// machine's cost of one flush of as many bytes as the file holds: the floor
// under any durable write of the whole file.
//
// Every call on the store opens, reads and rewrites the whole file, as the
// operation's contract says; a new record therefore costs time linear in N.
#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>

#include "bench/bench.h"
#include "bench/flush_control.h"
#include "bench/workload.h"
#include "install/operations.h"

namespace orvo::bench {

namespace {

// The folder the install operations use, and the registration file in it.
std::string AppDataFolder(const Config& config) { return config.work + "/appdata"; }
std::string RegistrationFile(const Config& config) {
  return AppDataFolder(config) + "/Tamsiver/InstallApp.set";
}
std::string NotifyDatabase(const Config& config, bool wal) {
  return config.work + (wal ? "/appdata/apps-wal.sqlite" : "/appdata/apps.sqlite");
}

// Removes the journal, log and shared-memory files beside |path|.
void RemoveCompanions(const std::string& path) {
  for (const char* suffix : {"-journal", "-wal", "-shm"}) unlink((path + suffix).c_str());
}

// Makes |path| hold exactly |bytes|, on stable storage, so that a timed call
// that flushes does not also pay for this write.
bool Restore(const std::string& path, const std::string& bytes) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) return false;
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t r =
        pwrite(fd, bytes.data() + done, bytes.size() - done, static_cast<off_t>(done));
    if (r <= 0) break;
    done += static_cast<size_t>(r);
  }
  const bool ok = done == bytes.size() && ftruncate(fd, static_cast<off_t>(bytes.size())) == 0 &&
                  fsync(fd) == 0;
  return close(fd) == 0 && ok;
}

const char16_t* Opt(bool given, const std::u16string& s) { return given ? s.c_str() : nullptr; }

int32_t Notify(const AppRecord& r) {
  int32_t error = 0;
  return install::NotifyApplicationInstalled(
      Opt(r.has_caller, r.caller), r.name.c_str(), Opt(r.has_version, r.version),
      Opt(r.has_install_dir, r.install_dir), r.main_program_path.c_str(), Opt(r.has_param, r.param),
      r.main_icon.c_str(), Opt(r.has_desc, r.desc), &error);
}

// The duplicate: the last record's main program path in upper case (paths
// compare without regard to ASCII case), so that the whole section is read.
AppRecord DuplicateOfLast(uint64_t n) {
  AppRecord r = MakeRecord(n - 1);
  for (char16_t& c : r.main_program_path) {
    if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - 32);
  }
  r.name = u"Reinstalled " + r.name;
  return r;
}

void NotifyStore(benchmark::State& state, const Config* config, const Workload* w, bool duplicate,
                 bool flush) {
  std::string pristine;
  const std::string file = RegistrationFile(*config);
  if (!ReadWholeFile(w->set, &pristine) || !Restore(file, pristine)) {
    state.SkipWithError("cannot place the registration file");
    return;
  }
  const AppRecord record = duplicate ? DuplicateOfLast(w->n) : MakeNewRecord(w->n);
  const int32_t expected = duplicate ? install::kResultDuplicate : install::kResultOk;
  std::unique_ptr<NoFlushScope> no_flush(flush ? nullptr : new NoFlushScope());
  for (auto _ : state) {
    if (Notify(record) != expected) {
      state.SkipWithError("unexpected result");
      break;
    }
    if (!duplicate) {
      state.PauseTiming();
      const bool ok = Restore(file, pristine);
      state.ResumeTiming();
      if (!ok) {
        state.SkipWithError("cannot restore the registration file");
        break;
      }
    }
  }
}

// One connection per call, as an installer process would make it.
class Db {
 public:
  Db(const std::string& path, bool flush) {
    if (sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) return;
    ok_ = Exec(flush ? "PRAGMA synchronous=FULL" : "PRAGMA synchronous=OFF");
  }
  ~Db() { sqlite3_close(db_); }
  bool ok() const { return ok_; }
  bool Exec(const char* sql) {
    return sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
  }
  // Inserts |r| in a transaction; returns the step's result code.
  int Insert(const AppRecord& r) {
    sqlite3_stmt* insert = nullptr;
    if (sqlite3_prepare_v2(db_, kSqliteInsert, -1, &insert, nullptr) != SQLITE_OK) return -1;
    const std::u16string* fields[8] = {
        &r.name, &r.main_program_path, &r.main_icon, &r.version, &r.install_dir, &r.desc, &r.caller,
        &r.param};
    const bool given[8] = {true,       true,         true,       r.has_version, r.has_install_dir,
                           r.has_desc, r.has_caller, r.has_param};
    for (int f = 0; f < 8; ++f) {
      if (given[f]) {
        sqlite3_bind_text16(insert, f + 1, fields[f]->data(),
                            static_cast<int>(fields[f]->size() * 2), SQLITE_STATIC);
      } else {
        sqlite3_bind_null(insert, f + 1);
      }
    }
    int rc = -1;
    if (Exec("BEGIN")) {
      rc = sqlite3_step(insert);
      if (rc == SQLITE_DONE) {
        if (!Exec("COMMIT")) rc = -1;
      } else {
        Exec("ROLLBACK");
      }
    }
    sqlite3_finalize(insert);
    return rc;
  }
  int64_t last_rowid() const { return sqlite3_last_insert_rowid(db_); }

 private:
  sqlite3* db_ = nullptr;
  bool ok_ = false;
};

// The database of |w| placed at |path|, in write-ahead-log mode when |wal|
// (a mode the database file keeps for every later connection).
bool PlaceDatabase(const Workload& w, const std::string& path, bool wal, std::string* pristine) {
  RemoveCompanions(path);
  if (!ReadWholeFile(w.sqlite, pristine) || !Restore(path, *pristine)) return false;
  if (!wal) return true;
  {
    Db db(path, true);
    if (!db.ok() || !db.Exec("PRAGMA journal_mode=WAL")) return false;
  }
  // The last connection's close folds the log into the file.
  return ReadWholeFile(path, pristine) && Restore(path, *pristine);
}

void NotifySqlite(benchmark::State& state, const Config* config, const Workload* w, bool duplicate,
                  bool flush, bool wal) {
  std::string pristine;
  const std::string path = NotifyDatabase(*config, wal);
  if (!PlaceDatabase(*w, path, wal, &pristine)) {
    state.SkipWithError("cannot place the database");
    return;
  }
  const AppRecord record = duplicate ? DuplicateOfLast(w->n) : MakeNewRecord(w->n);
  const int expected = duplicate ? SQLITE_CONSTRAINT : SQLITE_DONE;
  for (auto _ : state) {
    int64_t rowid = 0;
    {
      Db db(path, flush);
      const int rc = db.ok() ? db.Insert(record) : -1;
      if ((rc & 0xFF) != expected) {
        state.SkipWithError("unexpected SQLite result");
        break;
      }
      rowid = db.last_rowid();
    }
    if (!duplicate) {
      // Back to N rows, durably, outside the timing.
      state.PauseTiming();
      Db db(path, true);
      const bool ok =
          db.ok() && db.Exec(("DELETE FROM app WHERE id = " + std::to_string(rowid)).c_str());
      state.ResumeTiming();
      if (!ok) {
        state.SkipWithError("cannot delete the new row");
        break;
      }
    }
  }
}

// One flush of as many bytes as |w|'s registration file: the bytes are
// written (not timed), then flushed (timed).
void FlushLimit(benchmark::State& state, const Config* config, const Workload* w) {
  std::string bytes;
  const std::string path = AppDataFolder(*config) + "/flush-limit.bin";
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
  if (!ReadWholeFile(w->set, &bytes) || fd < 0) {
    if (fd >= 0) close(fd);
    state.SkipWithError("cannot place the file");
    return;
  }
  for (auto _ : state) {
    state.PauseTiming();
    size_t done = 0;
    while (done < bytes.size()) {
      const ssize_t r =
          pwrite(fd, bytes.data() + done, bytes.size() - done, static_cast<off_t>(done));
      if (r <= 0) break;
      done += static_cast<size_t>(r);
    }
    state.ResumeTiming();
    if (done != bytes.size() || fsync(fd) != 0) {
      state.SkipWithError("cannot write or flush the file");
      break;
    }
  }
  close(fd);
  unlink(path.c_str());
}

// Fixed iteration counts for the large files keep the run short; the spread
// between repetitions shows the noise.
int64_t NotifyIterations(uint64_t n, bool flush) {
  if (n >= 100000) return flush ? 3 : 5;
  if (n >= 10000) return flush ? 10 : 20;
  return 0;
}

}  // namespace

void RegisterNotify(const Config& config) {
  setenv("ORVO_COMMON_APPDATA", AppDataFolder(config).c_str(), 1);
  mkdir(AppDataFolder(config).c_str(), 0777);
  mkdir((AppDataFolder(config) + "/Tamsiver").c_str(), 0777);
  for (const Workload& w : config.workloads) {
    const std::string n = std::to_string(w.n);
    for (const bool duplicate : {false, true}) {
      for (const bool flush : {false, true}) {
        const std::string kind =
            std::string(duplicate ? "notify_dup" : "notify_new") + (flush ? "_flush" : "");
        const int64_t iterations = NotifyIterations(w.n, flush);
        Configure(benchmark::RegisterBenchmark((kind + "/store/" + n).c_str(), NotifyStore, &config,
                                               &w, duplicate, flush),
                  config, iterations);
        Configure(benchmark::RegisterBenchmark((kind + "/sqlite/" + n).c_str(), NotifySqlite,
                                               &config, &w, duplicate, flush, false),
                  config, iterations);
        if (flush) {
          Configure(benchmark::RegisterBenchmark((kind + "/sqlite_wal/" + n).c_str(), NotifySqlite,
                                                 &config, &w, duplicate, flush, true),
                    config, iterations);
        }
      }
    }
    Configure(benchmark::RegisterBenchmark(("flush/limit/" + n).c_str(), FlushLimit, &config, &w),
              config, NotifyIterations(w.n, true));
  }
}

}  // namespace orvo::bench
