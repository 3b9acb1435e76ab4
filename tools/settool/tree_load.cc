#include "tools/settool/tree_load.h"

#include "tools/settool/messages.h"

using orvo::store::CfFileStateText;
using orvo::store::CfSideStateText;
using orvo::store::ExamineConfigFile;
using orvo::store::FreeNodeTree;

namespace orvo::settool {

std::string LoadVerdict(const std::u16string& file, const CfLoadReport& report) {
  const std::string side = ForPeople(file) + ".new";
  switch (report.source) {
    case CfTreeSource::kFile:
      return "the store loads the file";
    case CfTreeSource::kFilePart:
      if (report.file.state == CfFileState::kBadChecksum ||
          report.file.state == CfFileState::kBodyPastEnd) {
        return std::string("the body is damaged (") + CfFileStateText(report.file.state) +
               "); the store loads the " + std::to_string(report.file.parse.nodes) +
               " keys that parse, and its next save keeps the damaged bytes in " + ForPeople(file) +
               ".old";
      }
      return "the store loads the file up to a record that cannot be read";
    case CfTreeSource::kSideFile:
      return std::string("the file was caught mid-save (") +
             (report.file.state == CfFileState::kLoaded
                  ? "it reads whole, but mixes that save's old and new bytes"
                  : CfFileStateText(report.file.state)) +
             "); the store loads that save's image from " + side;
    case CfTreeSource::kEmpty:
      return "the file is empty; the store opens a new tree";
    case CfTreeSource::kUnreadable:
      break;
  }
  std::string why =
      std::string("the store opens a new tree: ") + CfFileStateText(report.file.state);
  if (report.side != CfSideState::kAbsent && report.side != CfSideState::kNotRead) {
    why += std::string("; ") + side + " is not used: " + CfSideStateText(report.side);
  }
  return why;
}

int LoadAsTheStoreDoes(CommandContext& ctx, const char* command, const std::u16string& file,
                       LoadPurpose purpose, CfNode** root, CfLoadReport* report) {
  CfNode* tree = nullptr;
  if (root != nullptr) *root = nullptr;
  if (!ExamineConfigFile(file.c_str(), report, &tree)) {
    if (!report->file.opened && purpose == LoadPurpose::kCreating &&
        report->file.open_error == platform::OpenError::kNotFound) {
      return kExitOk;
    }
    if (!report->file.opened) {
      return Complain(ctx, command, file,
                      std::string("cannot open: ") + OpenErrorText(report->file.open_error),
                      kExitError);
    }
    if (!report->file.sized) {
      return Complain(ctx, command, file, "cannot get the file's size", kExitError);
    }
    return Complain(ctx, command, file,
                    "cannot read it or its side file (a read failed or memory ran out); "
                    "nothing is decided from it and nothing was changed",
                    kExitError);
  }
  const bool editing = purpose != LoadPurpose::kReading;
  int code = kExitOk;
  switch (report->source) {
    case CfTreeSource::kFile:
      break;
    case CfTreeSource::kSideFile:
      Complain(ctx, command, file,
               "note: " + LoadVerdict(file, *report) +
                   (editing ? "; saving completes the recovery" : ""),
               kExitOk);
      break;
    case CfTreeSource::kFilePart: {
      const bool damaged = report->file.state != CfFileState::kLoaded;
      const std::string where =
          damaged ? std::string("in a damaged body (") + CfFileStateText(report->file.state) + ")"
                  : "at body offset " + std::to_string(report->file.parsed_bytes) +
                        " at a record that cannot be read";
      code = editing ? Complain(ctx, command, file,
                                "reading stops " + where +
                                    "; saving would drop the keys after it; not changed",
                                kExitNo)
                     : Complain(ctx, command, file,
                                "note: reading stopped " + where + "; the keys before it are kept",
                                kExitOk);
      break;
    }
    case CfTreeSource::kEmpty:
      if (editing) break;
      [[fallthrough]];
    case CfTreeSource::kUnreadable: {
      std::string why =
          std::string("would open as a new tree: ") + CfFileStateText(report->file.state);
      if (report->side != CfSideState::kAbsent && report->side != CfSideState::kNotRead) {
        why += std::string(" (") + ForPeople(file) + ".new " + CfSideStateText(report->side) +
               ": not used)";
      }
      code = Complain(ctx, command, file, why + (editing ? "; not changed" : ""), kExitNo);
      break;
    }
  }
  if (code == kExitOk && root != nullptr) {
    *root = tree;
  } else if (tree != nullptr) {
    FreeNodeTree(tree, nullptr);
  }
  return code;
}

}  // namespace orvo::settool
