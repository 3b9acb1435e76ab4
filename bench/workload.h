// Generated registration workloads: N application records with realistic
// values, written as an "InstallApp.set" file, as a JSON document and as an
// SQLite database with the same content.
//
// Values come from a fixed pseudo-random sequence per record (the record's
// index and a seed), so every run, and every N, sees the same records: the
// first 100 records of the 1 000-record workload are the 100-record one.
#ifndef ORVO_BENCH_WORKLOAD_H_
#define ORVO_BENCH_WORKLOAD_H_

#include <cstdint>
#include <string>
#include <vector>

#include "store/node.h"

namespace orvo::bench {

// One application record, as NotifyApplicationInstalled receives it. An
// optional value that is absent is empty and has its |has_| flag clear.
struct AppRecord {
  std::u16string name;
  std::u16string main_program_path;
  std::u16string main_icon;
  std::u16string version;
  std::u16string install_dir;
  std::u16string desc;
  std::u16string caller;
  std::u16string param;
  bool has_version = false;
  bool has_install_dir = false;
  bool has_desc = false;
  bool has_caller = false;
  bool has_param = false;
};

// The record with index |i|. Paths (main program, icon, install folder) are
// 40 to 120 characters; main program paths differ between indexes even when
// ASCII case is ignored.
AppRecord MakeRecord(uint64_t i);

// A record that is not among the first 2^32 records (a new registration).
AppRecord MakeNewRecord(uint64_t salt);

// Builds the tree of an "InstallApp.set" file with records 0..n-1 under the
// section "APP", with the store's node functions (the key interface re-indexes
// the whole section on every insertion, which makes building 100 000 records
// through it quadratic). Returns the root, or null when memory runs out.
CfNode* BuildRegistrationTree(uint64_t n);

// Writes records 0..n-1 to |path| through the key interface and Save, as the
// install operations do. Used to check that BuildRegistrationTree gives the
// same bytes. False on failure.
bool WriteRegistrationFileThroughKeys(const std::string& path, uint64_t n);

// Writes records 0..n-1 to |path| as "InstallApp.set". False on failure.
bool WriteRegistrationFile(const std::string& path, uint64_t n);

// Writes records 0..n-1 as a JSON document:
//   {"APP":[{"Name":..., "MainProgramPath":..., ...}, ...]}
// Optional values that are absent are left out. False on failure.
bool WriteJsonFile(const std::string& path, uint64_t n);

// The SQLite schema: one table, a unique index on the main program path
// (ASCII case ignored, as the install operations compare paths).
extern const char kSqliteSchema[];
// The insert statement, with ?1..?8 in the order of AppRecord's fields.
extern const char kSqliteInsert[];

// Writes records 0..n-1 to a new SQLite database at |path|. False on failure.
bool WriteSqliteFile(const std::string& path, uint64_t n);

// The UTF-16 form of a native path (the store takes UTF-16 paths).
std::u16string Utf16Path(const std::string& path);

// Whole-file helpers. ReadWholeFile returns false when the file cannot be
// read.
bool ReadWholeFile(const std::string& path, std::string* out);
bool WriteWholeFile(const std::string& path, const std::string& data);
uint64_t FileSize(const std::string& path);

}  // namespace orvo::bench

#endif  // ORVO_BENCH_WORKLOAD_H_
