// Reading a file for a command as the store opens it (a save caught in
// flight is recovered from its side file), with the messages every command
// gives.
#ifndef ORVO_TOOLS_SETTOOL_TREE_LOAD_H_
#define ORVO_TOOLS_SETTOOL_TREE_LOAD_H_

#include <string>

#include "store/save_protocol.h"
#include "tools/settool/commands.h"

namespace orvo::settool {

// What a command means to do with the tree.
enum class LoadPurpose {
  kReading,   // a tree read only in part is shown, with a note
  kEditing,   // a tree read only in part is refused: a save would drop the rest
  kCreating,  // as kEditing, and a missing file is fine (kExitOk, nothing read)
};

// Why the store loads what it loads, in a sentence: which copy and why.
std::string LoadVerdict(const std::u16string& file, const CfLoadReport& report);

// Reads the existing |file| without changing anything on disk. Returns
// kExitOk with *root (may be null: not wanted) the tree the store would load,
// owned by the caller; notes on a recovered or partly read file go to
// ctx.err. Otherwise reports and returns kExitNo (the store would open a new
// tree, or, for editing, only part of the file) or kExitError (the file
// cannot be opened or read). An empty file is kExitOk for editing only.
int LoadAsTheStoreDoes(CommandContext& ctx, const char* command, const std::u16string& file,
                       LoadPurpose purpose, CfNode** root, CfLoadReport* report);

}  // namespace orvo::settool

#endif  // ORVO_TOOLS_SETTOOL_TREE_LOAD_H_
