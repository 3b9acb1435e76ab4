#include "tools/settool/edit_file.h"

#include "platform/file.h"
#include "platform/file_failure.h"
#include "store/save_protocol.h"
#include "tools/settool/messages.h"
#include "tools/settool/tree_load.h"
#include "tools/settool/write_lock.h"

using orvo::store::CfCompanionSuffix;
using orvo::store::CfLastSaveObstacle;
using orvo::store::CreateConfigFile;

namespace orvo::settool {

static_assert(kMaxFileChars == kCfPathCapacity - 1, "settool's FILE limit is the store's");

int OpenForEditing(CommandContext& ctx, const char* command, const std::u16string& file,
                   EditOf which, CfRef<CConfigFile>* config,
                   std::unique_ptr<install::StoreWriteLock>* lock) {
  if (!FilePathFits(ctx, command, file)) return kExitError;
  // Held from before the file is read until after it is saved, as
  // notifications hold it.
  if (int rc = LockForWriting(ctx, command, file, lock)) return rc;
  CfLoadReport report;
  const int code = LoadAsTheStoreDoes(
      ctx, command, file, which == EditOf::kAny ? LoadPurpose::kCreating : LoadPurpose::kEditing,
      nullptr, &report);
  if (code != kExitOk) return code;
  const uint32_t disposition = which == EditOf::kAny ? kCfOpenAlways : kCfOpenExisting;
  config->attach(CreateConfigFile(file.c_str(), disposition));
  if (!*config) {
    return Complain(ctx, command, file, "cannot open or read; not changed", kExitError);
  }
  return kExitOk;
}

bool Recovering(CConfigFile* config) {
  return config->load_report().source == CfTreeSource::kSideFile;
}

int SaveFile(CommandContext& ctx, const char* command, const std::u16string& file,
             CConfigFile* config) {
  platform::SetLastFileFailure(platform::FileFailure::kNone);
  if (!config->Save(nullptr)) {
    const CfCompanion obstacle = CfLastSaveObstacle();
    if (platform::LastFileFailure() == platform::FileFailure::kNameInTheWay &&
        obstacle != CfCompanion::kNone) {
      return Complain(ctx, command, file,
                      "cannot write the file: " + ForPeople(file + CfCompanionSuffix(obstacle)) +
                          " is in the way (a folder, a pipe, a device, a link, or a file that "
                          "another account made and this one may not replace); nothing is "
                          "saved until it is removed",
                      kExitError);
    }
    return Complain(ctx, command, file, "cannot write the file; it may be in use or read-only",
                    kExitError);
  }
  return kExitOk;
}

}  // namespace orvo::settool
