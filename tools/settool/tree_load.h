// Loading a file for a command that only reads it, with the messages every
// such command gives.
#ifndef ORVO_TOOLS_SETTOOL_TREE_LOAD_H_
#define ORVO_TOOLS_SETTOOL_TREE_LOAD_H_

#include <string>

#include "store/file_io.h"
#include "tools/settool/commands.h"

namespace orvo::settool {

// Reads |file| without creating or changing it. On success returns kExitOk
// with *root the tree (owned by the caller) and *report filled in; a note goes
// to ctx.err when reading stopped early inside the body. Otherwise reports the
// reason and returns kExitNo (the file would open as a new tree) or
// kExitError (it cannot be opened or sized).
int LoadForReading(CommandContext& ctx, const char* command, const std::u16string& file,
                   CfNode** root, CfFileReport* report);

}  // namespace orvo::settool

#endif  // ORVO_TOOLS_SETTOOL_TREE_LOAD_H_
