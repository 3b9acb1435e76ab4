#include "install/file_lock.h"

#include <new>
#include <string>

#include "install/path_buffer.h"
#include "install/record_layout.h"
#include "platform/file_failure.h"
#include "platform/shell.h"

namespace orvo::install {

namespace {

char16_t FoldAscii(char16_t c) {
  return (c >= u'A' && c <= u'Z') ? static_cast<char16_t>(c + 32) : c;
}

// Whether |file| names the machine-wide registration file, as the
// notifications compose its path.
bool IsRegistrationFile(const char16_t* file) {
  char16_t folder[CPathBuffer::kCapacity + 1] = {};
  if (!platform::CommonAppDataFolder(folder)) return false;
  CPathBuffer path(folder);
  path.AddBackslash();
  path.Append(kSuiteFolder, false);
  path.Append(kRegistrationFile, false);
  const char16_t* a = path.text();
  for (;; ++a, ++file) {
    if (FoldAscii(*a) != FoldAscii(*file)) return false;
    if (*a == 0) return true;
  }
}

// "Global\Tamsiver-Store-" and a 64-bit FNV-1a hash of the folded path.
std::u16string MutexNameFor(const char16_t* file) {
  uint64_t h = 0xCBF29CE484222325u;
  for (const char16_t* p = file; *p != 0; ++p) {
    const char16_t c = FoldAscii(*p == u'/' ? u'\\' : *p);
    h = (h ^ static_cast<uint8_t>(c)) * 0x100000001B3u;
    h = (h ^ static_cast<uint8_t>(c >> 8)) * 0x100000001B3u;
  }
  std::u16string name = u"Global\\Tamsiver-Store-";
  for (int shift = 60; shift >= 0; shift -= 4) name += u"0123456789ABCDEF"[(h >> shift) & 15];
  return name;
}

}  // namespace

StoreWriteLock::StoreWriteLock(const char16_t* file, uint32_t timeout_ms) {
  try {
    const bool registration = IsRegistrationFile(file);
    const std::u16string mutex =
        registration ? std::u16string(kRegistrationMutex) : MutexNameFor(file);
    const std::u16string lock_path = std::u16string(file) + u".lock";
    lock_.reset(new platform::MachineLock(mutex.c_str(), lock_path.c_str(), timeout_ms));
  } catch (const std::bad_alloc&) {
    platform::SetLastFileFailure(platform::FileFailure::kOther);
  }
}

StoreWriteLock::~StoreWriteLock() = default;

}  // namespace orvo::install
