#include "bench/workload.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iterator>

#include "platform/utf.h"
#include "rapidjson/stringbuffer.h"
#include "rapidjson/writer.h"
#include "store/child_table.h"
#include "store/config_file.h"
#include "store/file_io.h"
#include "store/name.h"
#include "store/ref.h"
#include "store/save_protocol.h"

using orvo::store::CfChildren;
using orvo::store::CfNameHash;
using orvo::store::CreateConfigFile;
using orvo::store::CreateNode;
using orvo::store::FreeNodeRecord;
using orvo::store::FreeNodeTree;
using orvo::store::InitNewHeaderImage;
using orvo::store::InsertChild;
using orvo::store::NewTree;
using orvo::store::SaveConfigFile;

namespace orvo::bench {

namespace {

constexpr uint64_t kSeed = 0x5EEDF00DCAFE1234ull;

// splitmix64: a small, fast generator with a fixed sequence per seed.
class Rng {
 public:
  explicit Rng(uint64_t seed) : s_(seed) {}
  uint64_t Next() {
    uint64_t z = (s_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  // Uniform in [lo, hi].
  size_t Between(size_t lo, size_t hi) { return lo + static_cast<size_t>(Next() % (hi - lo + 1)); }
  bool Chance(int percent) { return Next() % 100 < static_cast<uint64_t>(percent); }
  template <size_t N>
  const char* Pick(const char* const (&list)[N]) {
    return list[Next() % N];
  }

 private:
  uint64_t s_;
};

const char* const kDrives[] = {"C:\\Program Files (x86)\\", "C:\\Program Files\\", "D:\\Apps\\",
                               "C:\\Users\\Public\\Applications\\"};
const char* const kVendors[] = {
    "Tamsiver",           "Tamsiver Labs", "Northwind Software", "Contoso",         "Fabrikam",
    "Blue Yonder Studio", "Litware",       "Proseware",          "Adventure Works", "Wingtip"};
const char* const kWords[] = {"Photo",  "Studio",  "Writer",   "Mail",   "Cloud",   "Sync",
                              "Player", "Notes",   "Scanner",  "Backup", "Capture", "Viewer",
                              "Speak",  "Desk",    "Calendar", "Music",  "Video",   "Draw",
                              "Reader", "Guard",   "Clean",    "Input",  "Remote",  "Share",
                              "Print",  "Weather", "Clock",    "Paint",  "Chat",    "Maps"};
const char* const kFolders[] = {"bin", "x86",  "release", "app",     "current", "program",
                                "lib", "core", "client",  "desktop", "modules", "runtime"};
const char* const kDescWords[] = {
    "a",        "fast",  "small", "tool",    "for",     "your",   "desktop", "photos", "and",
    "music",    "with",  "cloud", "backup",  "sharing", "the",    "family",  "suite",  "simple",
    "reliable", "files", "notes", "friends", "offline", "editor", "widget"};
const char* const kCallers[] = {"TamsiverSetup.exe", "msiexec.exe", "InstallShield",
                                "Inno Setup 6",      "NSIS 3.08",   "TamsiverUpdate.exe"};
const char* const kParams[] = {
    "/silent",       "/background /minimized",    "--autostart", "/lang=en-US", "-tray",
    "/S /D=default", "--profile=\"Default User\""};

std::u16string U16(const std::string& s) { return std::u16string(s.begin(), s.end()); }

std::string Lower(std::string s) {
  for (char& c : s) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
  }
  return s;
}

// Appends subfolders to |dir| until it is |target| characters long (or as
// close as the names allow when it is already longer).
void FillTo(std::string* dir, size_t target, Rng* rng) {
  while (dir->size() < target) {
    const size_t room = target - dir->size();  // includes the separator
    if (room <= 10) {
      // A version folder fills the rest exactly: "\v1", "\v12", ...
      std::string v = "\\v";
      while (v.size() < room) v.push_back(static_cast<char>('0' + rng->Next() % 10));
      *dir += v.substr(0, room);
      return;
    }
    *dir += "\\";
    *dir += rng->Pick(kFolders);
  }
}

struct Paths {
  std::string install_dir, program, icon;
};

// |code| makes the program folder unique.
Paths MakePaths(Rng* rng, const std::string& product, const std::string& code) {
  const std::string exe = Lower(product) + ".exe";
  std::string base =
      std::string(rng->Pick(kDrives)) + rng->Pick(kVendors) + "\\" + product + " " + code;
  Paths p;
  p.install_dir = base;
  FillTo(&p.install_dir, rng->Between(40, 100), rng);
  std::string dir = p.install_dir;
  const size_t floor = dir.size() + 1 + exe.size();
  FillTo(&dir, rng->Between(floor, floor > 120 ? floor : 120) - 1 - exe.size(), rng);
  p.program = dir + "\\" + exe;
  std::string icons = p.install_dir + "\\res";
  const size_t icon_floor = icons.size() + 1 + exe.size();
  FillTo(&icons, rng->Between(icon_floor, icon_floor > 120 ? icon_floor : 120) - 1 - exe.size(),
         rng);
  p.icon = icons + "\\" + Lower(product) + ".ico";
  return p;
}

AppRecord MakeRecordWithCode(Rng* rng, const std::string& code) {
  const std::string product = std::string(rng->Pick(kWords)) + rng->Pick(kWords);
  const Paths paths = MakePaths(rng, product, code);
  AppRecord r;
  r.name = U16(std::string(rng->Pick(kVendors)) + " " + rng->Pick(kWords) + " " +
               rng->Pick(kWords) + " " + std::to_string(rng->Between(1, 12)));
  r.main_program_path = U16(paths.program);
  r.main_icon = U16(paths.icon);
  r.has_version = rng->Chance(90);
  if (r.has_version) {
    r.version =
        U16(std::to_string(rng->Between(1, 12)) + "." + std::to_string(rng->Between(0, 40)) + "." +
            std::to_string(rng->Between(0, 9999)) + ".0");
  }
  r.has_install_dir = rng->Chance(80);
  if (r.has_install_dir) r.install_dir = U16(paths.install_dir);
  r.has_desc = rng->Chance(60);
  if (r.has_desc) {
    std::string d = "The";
    const size_t words = rng->Between(3, 14);
    for (size_t w = 0; w < words; ++w) d += std::string(" ") + rng->Pick(kDescWords);
    r.desc = U16(d + ".");
  }
  r.has_caller = rng->Chance(70);
  if (r.has_caller) r.caller = U16(rng->Pick(kCallers));
  r.has_param = rng->Chance(30);
  if (r.has_param) r.param = U16(rng->Pick(kParams));
  return r;
}

std::string Hex8(uint32_t v) {
  char buf[9];
  std::snprintf(buf, sizeof(buf), "%08x", v);
  return buf;
}

// The values of a record in the order the install operations write them.
struct NamedValue {
  const char16_t* name;
  const std::u16string* text;
};

int Values(const AppRecord& r, NamedValue (&out)[8]) {
  int n = 0;
  out[n++] = {u"Name", &r.name};
  out[n++] = {u"MainProgramPath", &r.main_program_path};
  out[n++] = {u"MainIcon", &r.main_icon};
  if (r.has_version) out[n++] = {u"Version", &r.version};
  if (r.has_install_dir) out[n++] = {u"InstallDir", &r.install_dir};
  if (r.has_desc) out[n++] = {u"Desc", &r.desc};
  if (r.has_caller) out[n++] = {u"Caller", &r.caller};
  if (r.has_param) out[n++] = {u"Param", &r.param};
  return n;
}

bool AddChild(CfNode* parent, CfNode* child, uint32_t id) {
  if (child == nullptr) return false;
  if (InsertChild(CfChildren(parent), {id, child}, false) < 0) {
    FreeNodeRecord(child);
    return false;
  }
  return true;
}

}  // namespace

AppRecord MakeRecord(uint64_t i) {
  Rng rng(kSeed ^ (i * 0xD1B54A32D192ED03ull));
  // An odd multiplier is a bijection on 32 bits: distinct codes per index.
  return MakeRecordWithCode(&rng, Hex8(static_cast<uint32_t>(i * 0x9E3779B1u)));
}

AppRecord MakeNewRecord(uint64_t salt) {
  Rng rng(~kSeed ^ (salt * 0xD1B54A32D192ED03ull));
  return MakeRecordWithCode(&rng, "new-" + Hex8(static_cast<uint32_t>(salt)));
}

CfNode* BuildRegistrationTree(uint64_t n) {
  CfNode* root = NewTree();
  if (root == nullptr) return nullptr;
  CfNode* app = CreateNode(u"APP", -1, CfTypeNone, nullptr, 0, 1);
  if (!AddChild(root, app, CfNameHash(u"APP", -1, nullptr))) {
    FreeNodeTree(root, nullptr);
    return nullptr;
  }
  for (uint64_t i = 0; i < n; ++i) {
    const AppRecord r = MakeRecord(i);
    CfNode* record = CreateNode(nullptr, 0, CfTypeNone, nullptr, 0, 1);
    if (!AddChild(app, record, 1)) {
      FreeNodeTree(root, nullptr);
      return nullptr;
    }
    NamedValue values[8];
    const int count = Values(r, values);
    for (int v = 0; v < count; ++v) {
      CfNode* value = CreateNode(values[v].name, -1, CfTypeWString, values[v].text->c_str(), -1, 0);
      if (!AddChild(record, value, CfNameHash(values[v].name, -1, nullptr))) {
        FreeNodeTree(root, nullptr);
        return nullptr;
      }
    }
  }
  return root;
}

bool WriteRegistrationFile(const std::string& path, uint64_t n) {
  CfNode* root = BuildRegistrationTree(n);
  if (root == nullptr) return false;
  CfHeaderImage image;
  InitNewHeaderImage(&image);
  unlink(path.c_str());
  const bool ok = SaveConfigFile(Utf16Path(path).c_str(), image, &root, nullptr);
  FreeNodeTree(root, nullptr);
  return ok;
}

bool WriteRegistrationFileThroughKeys(const std::string& path, uint64_t n) {
  unlink(path.c_str());
  auto file =
      CfRef<CConfigFile>::Adopt(CreateConfigFile(Utf16Path(path).c_str(), 4 /* OPEN_ALWAYS */));
  if (!file) return false;
  {
    auto root = CfRef<ICfKey>::Adopt(file->GetRootKey());
    if (!root) return false;
    auto app = CfRef<ICfKey>::Adopt(root->CreateChild(u"APP", CfTypeNone, nullptr, 0));
    if (!app) return false;
    for (uint64_t i = 0; i < n; ++i) {
      const AppRecord r = MakeRecord(i);
      auto record = CfRef<ICfKey>::Adopt(app->CreateChildWithId(1, false, CfTypeNone, nullptr, 0));
      if (!record) return false;
      NamedValue values[8];
      const int count = Values(r, values);
      for (int v = 0; v < count; ++v) {
        auto value = CfRef<ICfKey>::Adopt(
            record->CreateChild(values[v].name, CfTypeWString, values[v].text->c_str(), -1));
        if (!value) return false;
      }
    }
  }
  return file->Save(nullptr);
}

bool WriteJsonFile(const std::string& path, uint64_t n) {
  rapidjson::StringBuffer buffer;
  rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
  writer.StartObject();
  writer.Key("APP");
  writer.StartArray();
  for (uint64_t i = 0; i < n; ++i) {
    const AppRecord r = MakeRecord(i);
    NamedValue values[8];
    const int count = Values(r, values);
    writer.StartObject();
    for (int v = 0; v < count; ++v) {
      const std::string name =
          platform::Utf16ToUtf8(values[v].name, std::char_traits<char16_t>::length(values[v].name),
                                platform::LoneSurrogate::kReplace);
      const std::string text =
          platform::Utf16ToUtf8(*values[v].text, platform::LoneSurrogate::kReplace);
      writer.Key(name.c_str(), static_cast<rapidjson::SizeType>(name.size()));
      writer.String(text.c_str(), static_cast<rapidjson::SizeType>(text.size()));
    }
    writer.EndObject();
  }
  writer.EndArray();
  writer.EndObject();
  return WriteWholeFile(path, std::string(buffer.GetString(), buffer.GetSize()));
}

const char kSqliteSchema[] =
    "CREATE TABLE app(id INTEGER PRIMARY KEY, name TEXT NOT NULL,"
    " main_program_path TEXT NOT NULL, main_icon TEXT NOT NULL, version TEXT,"
    " install_dir TEXT, desc TEXT, caller TEXT, param TEXT);"
    "CREATE UNIQUE INDEX app_main_program_path ON app(main_program_path COLLATE NOCASE);";

const char kSqliteInsert[] =
    "INSERT INTO app(name, main_program_path, main_icon, version, install_dir, desc, caller,"
    " param) VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8)";

bool WriteSqliteFile(const std::string& path, uint64_t n) {
  unlink(path.c_str());
  unlink((path + "-journal").c_str());
  sqlite3* db = nullptr;
  if (sqlite3_open(path.c_str(), &db) != SQLITE_OK) {
    sqlite3_close(db);
    return false;
  }
  bool ok = sqlite3_exec(db, kSqliteSchema, nullptr, nullptr, nullptr) == SQLITE_OK &&
            sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr) == SQLITE_OK;
  sqlite3_stmt* insert = nullptr;
  ok = ok && sqlite3_prepare_v2(db, kSqliteInsert, -1, &insert, nullptr) == SQLITE_OK;
  for (uint64_t i = 0; ok && i < n; ++i) {
    const AppRecord r = MakeRecord(i);
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
    ok = sqlite3_step(insert) == SQLITE_DONE && sqlite3_reset(insert) == SQLITE_OK;
  }
  sqlite3_finalize(insert);
  ok = ok && sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr) == SQLITE_OK;
  return sqlite3_close(db) == SQLITE_OK && ok;
}

std::u16string Utf16Path(const std::string& path) {
  return platform::Utf8ToUtf16(path.data(), path.size());
}

bool ReadWholeFile(const std::string& path, std::string* out) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  out->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return !in.bad();
}

bool WriteWholeFile(const std::string& path, const std::string& data) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(data.data(), static_cast<std::streamsize>(data.size()));
  return static_cast<bool>(out);
}

uint64_t FileSize(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
}

}  // namespace orvo::bench
