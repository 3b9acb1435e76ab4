// The skeleton of settool's commands that change a file (set, rm, rename,
// protect, import): the writers' lock, the file object opened as the store
// opens it, the change made in memory through the key interface, and one
// save. A refused change saves nothing: the file stays as it was.
#ifndef ORVO_TOOLS_SETTOOL_EDIT_FILE_H_
#define ORVO_TOOLS_SETTOOL_EDIT_FILE_H_

#include <memory>
#include <string>

#include "install/file_lock.h"
#include "store/config_file.h"
#include "store/ref.h"
#include "tools/settool/commands.h"

namespace orvo::settool {

enum class EditOf {
  kExisting,  // the file must exist
  kAny,       // a missing file is made
};

// Takes the writers' lock of |file| into *lock, then opens it into *config.
// A file that the store would open as a new tree, or only in part, is
// refused: saving would drop what it could not read. Reports and returns
// the exit code, or kExitOk.
int OpenForEditing(CommandContext& ctx, const char* command, const std::u16string& file,
                   EditOf which, CfRef<CConfigFile>* config,
                   std::unique_ptr<install::StoreWriteLock>* lock);

// Saves |config| to its file. Reports and returns the exit code, or kExitOk.
int SaveFile(CommandContext& ctx, const char* command, const std::u16string& file,
             CConfigFile* config);

// Whether the file object's tree came from the side file of a save caught
// mid-way: a save then completes the recovery, even with nothing changed.
bool Recovering(CConfigFile* config);

// Opens |file| for editing, runs |edit|(config, &changed), which returns an
// exit code, and saves when it returned kExitOk having changed something
// (or when Recovering). Keys that |edit| holds are released before the save.
template <class Edit>
int EditFile(CommandContext& ctx, const char* command, const std::u16string& file, EditOf which,
             Edit&& edit) {
  CfRef<CConfigFile> config;
  std::unique_ptr<install::StoreWriteLock> lock;
  if (int rc = OpenForEditing(ctx, command, file, which, &config, &lock)) return rc;
  bool changed = false;
  if (int rc = edit(config.get(), &changed)) return rc;
  if (!changed && !Recovering(config.get())) return kExitOk;
  return SaveFile(ctx, command, file, config.get());
}

}  // namespace orvo::settool

#endif  // ORVO_TOOLS_SETTOOL_EDIT_FILE_H_
