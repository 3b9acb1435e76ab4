// Makes a file system the one the code under test uses, for one scope.
#ifndef ORVO_TESTS_TESTING_SCOPED_FILE_SYSTEM_H_
#define ORVO_TESTS_TESTING_SCOPED_FILE_SYSTEM_H_

#include "platform/file.h"

namespace orvo::testing {

// Sets |fs| as the current file system and puts the one before back when it
// goes (also when an assertion ends the test early). A fixture holds one as
// a member declared after its file system.
class ScopedFileSystem {
 public:
  explicit ScopedFileSystem(platform::FileSystem* fs)
      : previous_(platform::SetFileSystemForTesting(fs)) {}
  ~ScopedFileSystem() { platform::SetFileSystemForTesting(previous_); }
  ScopedFileSystem(const ScopedFileSystem&) = delete;
  ScopedFileSystem& operator=(const ScopedFileSystem&) = delete;

  // The file system that was current before.
  platform::FileSystem* previous() const { return previous_; }

 private:
  platform::FileSystem* previous_;
};

}  // namespace orvo::testing

#endif  // ORVO_TESTS_TESTING_SCOPED_FILE_SYSTEM_H_
