// settool check FILE: what the reader makes of a file, and which copy the
// store loads (the file, or the side file of a save caught mid-way), without
// changing anything. Exit 0: the store loads content; 1: it would open a new
// tree; 2: the file cannot be opened or read, or a usage error.
#include <cinttypes>
#include <cstdio>
#include <string>

#include "platform/file.h"
#include "store/file_io.h"
#include "tools/settool/commands.h"
#include "tools/settool/messages.h"
#include "tools/settool/output.h"
#include "tools/settool/tree_load.h"

using orvo::store::CfFileStateText;
using orvo::store::CfSideStateText;
using orvo::store::ExamineConfigFile;

namespace orvo::settool {

namespace {

constexpr const char* kCommand = "check";
constexpr const char* kArguments = "FILE";

void PrintReport(std::FILE* f, const std::u16string& file, const CfLoadReport& load) {
  const std::string name = ForPeople(file);
  const CfFileReport& r = load.file;
  if (load.source == CfTreeSource::kFile || load.source == CfTreeSource::kFilePart) {
    PrintOut(f, "%s: loads\n", name.c_str());
  } else if (load.source == CfTreeSource::kSideFile) {
    PrintOut(f, "%s: loads from its side file\n", name.c_str());
  } else {
    PrintOut(f, "%s: would open as a new tree: %s\n", name.c_str(), CfFileStateText(r.state));
  }
  PrintOut(f, "  store loads:  %s\n", LoadVerdict(file, load).c_str());
  if (load.side == CfSideState::kUntrusted) {
    // Whatever it holds: another account could have written it.
    PrintOut(f, "  side file:    not trusted, not read: %s; a save replaces it where it may\n",
             platform::CompanionTrustText(load.side_trust));
  } else if (load.side == CfSideState::kInTheWay) {
    PrintOut(f, "  side file:    %s; saves fail until it is removed\n", CfSideStateText(load.side));
  } else if (load.side != CfSideState::kNotRead) {
    PrintOut(f, "  side file:    %s\n", CfSideStateText(load.side));
  }
  PrintOut(f, "  file size:    %" PRIu64 " bytes\n", r.file_size);
  if (!r.header_read) return;
  const CfHeaderFields& h = r.header;
  PrintOut(f, "  magic:        0x%08" PRIx32 "%s\n", h.magic,
           h.magic == kCfMagic ? "" : " (wrong)");
  PrintOut(f, "  version:      0x%05" PRIx32 "%s\n", h.version,
           h.version > kCfVersion ? " (newer than this reader)" : "");
  PrintOut(f, "  commit marks: %" PRIu32 " at 8, %" PRIu32 " at 508 (%s)\n", h.commit_mark,
           h.commit_mark_copy, r.committed() ? "committed" : "a save did not finish");
  PrintOut(f, "  header size:  %" PRIu32 " (not used: the body starts at 512)\n", h.header_size);
  PrintOut(f, "  body size:    %" PRIu32 " bytes\n", h.body_size);
  if (r.body_read) {
    PrintOut(f, "  checksum:     0x%08" PRIx32 " in the header, 0x%08" PRIx32 " computed",
             h.checksum, r.checksum_computed);
    if (r.checksum_tested) {
      PrintOut(f, " (%s)\n", r.checksum_ok() ? "matches" : "does not match");
    } else {
      PrintOut(f, " (not tested for version 0x%05" PRIx32 ")\n", h.version);
    }
  } else {
    PrintOut(f, "  checksum:     0x%08" PRIx32 " in the header (body not read)\n", h.checksum);
  }
  if (load.source == CfTreeSource::kSideFile) {
    // The tree the store loads is the side file's, not what the file holds.
    PrintOut(f, "  keys:         %" PRIu64 " (in %s.new, the copy the store loads)\n",
             load.side_file.parse.nodes, name.c_str());
    return;
  }
  if (load.source != CfTreeSource::kFilePart && r.state != CfFileState::kLoaded) return;
  if (r.state != CfFileState::kLoaded) {
    // Damaged: what parses is kept, what does not is only in the bytes.
    PrintOut(f, "  keys:         %" PRIu64 " salvaged (%s)\n", r.parse.nodes,
             r.parse.complete ? "every record that the body holds parses"
                              : "reading stopped at a record that cannot be read");
    PrintOut(f,
             "  note:         what the damage changed or cut off is lost from the tree; the "
             "next save keeps these bytes in %s.old (settool recover reads them)\n",
             name.c_str());
    return;
  }
  PrintOut(f, "  keys:         %" PRIu64 "\n", r.parse.nodes);
  if (!r.parse.complete) {
    PrintOut(f,
             "  note:         reading stopped at body offset %" PRIu32
             " at a record that cannot be read; the keys before it are kept\n",
             r.parsed_bytes);
  } else if (r.parsed_bytes < h.body_size) {
    PrintOut(f, "  note:         %" PRIu32 " bytes after the tree are ignored\n",
             h.body_size - r.parsed_bytes);
  }
  if (r.file_size > kCfHeaderSize + static_cast<uint64_t>(h.body_size)) {
    PrintOut(f, "  note:         %" PRIu64 " bytes after the body are ignored\n",
             r.file_size - kCfHeaderSize - h.body_size);
  }
}

}  // namespace

int RunCheck(CommandContext& ctx) {
  std::u16string file;
  if (!ParseFileAndFlags(ctx, kCommand, kArguments, nullptr, nullptr, &file)) return kExitError;
  CfLoadReport report;
  if (!ExamineConfigFile(file.c_str(), &report, nullptr)) {
    if (!report.file.opened) {
      return Complain(ctx, kCommand, file,
                      std::string("cannot open: ") + OpenErrorText(report.file.open_error),
                      kExitError);
    }
    if (!report.file.sized) {
      return Complain(ctx, kCommand, file, "cannot get the file's size", kExitError);
    }
    return Complain(ctx, kCommand, file,
                    "cannot read it or its side file (a read failed or memory ran out)",
                    kExitError);
  }
  PrintReport(ctx.out, file, report);
  if (!FlushOut(ctx.out)) {
    return Complain(ctx, kCommand, file, "cannot write the output", kExitError);
  }
  const bool loads = report.source == CfTreeSource::kFile ||
                     report.source == CfTreeSource::kFilePart ||
                     report.source == CfTreeSource::kSideFile;
  return loads ? kExitOk : kExitNo;
}

}  // namespace orvo::settool
