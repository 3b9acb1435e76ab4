// A fresh folder for one test, removed with everything in it afterwards, and
// whole-file helpers that take UTF-16 paths.
#ifndef ORVO_TESTS_TESTING_TEMP_DIR_H_
#define ORVO_TESTS_TESTING_TEMP_DIR_H_

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <system_error>

namespace orvo::testing {

class TempDir {
 public:
  TempDir() {
    const std::filesystem::path base = std::filesystem::temp_directory_path();
    std::mt19937_64 rng(
        std::random_device{}() ^
        static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()));
    for (int attempt = 0; attempt < 100 && root_.empty(); ++attempt) {
      std::filesystem::path p = base / ("orvo-test-" + std::to_string(rng()));
      std::error_code ec;
      if (std::filesystem::create_directory(p, ec)) root_ = p;
    }
  }
  ~TempDir() {
    std::error_code ec;
    if (!root_.empty()) std::filesystem::remove_all(root_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  bool ok() const { return !root_.empty(); }
  std::filesystem::path NativePath(const std::u16string& name) const { return root_ / name; }
  std::u16string Path(const std::u16string& name) const { return NativePath(name).u16string(); }

 private:
  std::filesystem::path root_;
};

inline bool WriteWholeFile(const std::filesystem::path& p, const std::string& bytes) {
  std::ofstream out(p, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(out);
}

// The file's bytes; an empty string when it cannot be read.
inline std::string ReadWholeFile(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace orvo::testing

#endif  // ORVO_TESTS_TESTING_TEMP_DIR_H_
