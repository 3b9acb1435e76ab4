#include "tools/settool/tree_load.h"

#include "tools/settool/messages.h"

namespace orvo::settool {

int LoadForReading(CommandContext& ctx, const char* command, const std::u16string& file,
                   CfNode** root, CfFileReport* report) {
  *root = nullptr;
  if (!InspectConfigFile(file.c_str(), report, root)) {
    if (!report->opened) {
      return Complain(ctx, command, file,
                      std::string("cannot open: ") + OpenErrorText(report->open_error), kExitError);
    }
    return Complain(ctx, command, file, "cannot get the file's size", kExitError);
  }
  if (CfOpenFails(report->state)) {
    return Complain(ctx, command, file,
                    std::string("cannot read: ") + CfFileStateText(report->state), kExitError);
  }
  if (report->state != CfFileState::kLoaded) {
    return Complain(ctx, command, file,
                    std::string("would open as a new tree: ") + CfFileStateText(report->state),
                    kExitNo);
  }
  if (!report->parse.complete) {
    Complain(ctx, command, file,
             "note: reading stopped at body offset " + std::to_string(report->parsed_bytes) +
                 " at a record that cannot be read; the keys before it are kept",
             kExitOk);
  }
  return kExitOk;
}

}  // namespace orvo::settool
