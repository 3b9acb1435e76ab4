#include "platform/file.h"

namespace orvo::platform {

namespace {
FileSystem* g_current = nullptr;
}  // namespace

FileSystem* CurrentFileSystem() { return g_current != nullptr ? g_current : RealFileSystem(); }

FileSystem* SetFileSystemForTesting(FileSystem* fs) {
  FileSystem* previous = CurrentFileSystem();
  g_current = fs;
  return previous;
}

}  // namespace orvo::platform
