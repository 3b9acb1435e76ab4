// settool check FILE: what the reader makes of a file, without changing it.
// Exit 0: the file loads; 1: it would open as a new tree; 2: it cannot be
// opened or sized, or a usage error.
#include <cinttypes>
#include <cstdio>
#include <string>

#include "store/file_io.h"
#include "tools/settool/commands.h"
#include "tools/settool/messages.h"

namespace orvo::settool {

namespace {

constexpr const char* kCommand = "check";
constexpr const char* kArguments = "FILE";

void PrintReport(std::FILE* f, const std::u16string& file, const CfFileReport& r) {
  const std::string name = ForPeople(file);
  if (r.state == CfFileState::kLoaded) {
    std::fprintf(f, "%s: loads\n", name.c_str());
  } else if (CfOpenFails(r.state)) {
    std::fprintf(f, "%s: cannot be read: %s\n", name.c_str(), CfFileStateText(r.state));
  } else {
    std::fprintf(f, "%s: would open as a new tree: %s\n", name.c_str(), CfFileStateText(r.state));
  }
  std::fprintf(f, "  file size:    %" PRIu64 " bytes\n", r.file_size);
  if (!r.header_read) return;
  const CfHeaderFields& h = r.header;
  std::fprintf(f, "  magic:        0x%08" PRIx32 "%s\n", h.magic,
               h.magic == kCfMagic ? "" : " (wrong)");
  std::fprintf(f, "  version:      0x%05" PRIx32 "%s\n", h.version,
               h.version > kCfVersion ? " (newer than this reader)" : "");
  std::fprintf(f, "  commit marks: %" PRIu32 " at 8, %" PRIu32 " at 508 (%s)\n", h.commit_mark,
               h.commit_mark_copy, r.committed() ? "committed" : "a save did not finish");
  std::fprintf(f, "  header size:  %" PRIu32 " (not used: the body starts at 512)\n",
               h.header_size);
  std::fprintf(f, "  body size:    %" PRIu32 " bytes\n", h.body_size);
  if (r.body_read) {
    std::fprintf(f, "  checksum:     0x%08" PRIx32 " in the header, 0x%08" PRIx32 " computed",
                 h.checksum, r.checksum_computed);
    if (r.checksum_tested) {
      std::fprintf(f, " (%s)\n", r.checksum_ok() ? "matches" : "does not match");
    } else {
      std::fprintf(f, " (not tested for version 0x%05" PRIx32 ")\n", h.version);
    }
  } else {
    std::fprintf(f, "  checksum:     0x%08" PRIx32 " in the header (body not read)\n", h.checksum);
  }
  if (r.state != CfFileState::kLoaded) return;
  std::fprintf(f, "  keys:         %" PRIu64 "\n", r.parse.nodes);
  if (!r.parse.complete) {
    std::fprintf(f,
                 "  note:         reading stopped at body offset %" PRIu32
                 " at a record that cannot be read; the keys before it are kept\n",
                 r.parsed_bytes);
  } else if (r.parsed_bytes < h.body_size) {
    std::fprintf(f, "  note:         %" PRIu32 " bytes after the tree are ignored\n",
                 h.body_size - r.parsed_bytes);
  }
  if (r.file_size > kCfHeaderSize + static_cast<uint64_t>(h.body_size)) {
    std::fprintf(f, "  note:         %" PRIu64 " bytes after the body are ignored\n",
                 r.file_size - kCfHeaderSize - h.body_size);
  }
}

}  // namespace

int RunCheck(CommandContext& ctx) {
  std::u16string file;
  if (!ParseFileAndFlags(ctx, kCommand, kArguments, nullptr, nullptr, &file)) return kExitError;
  CfFileReport report;
  if (!InspectConfigFile(file.c_str(), &report, nullptr)) {
    if (!report.opened) {
      return Complain(ctx, kCommand, file,
                      std::string("cannot open: ") + OpenErrorText(report.open_error), kExitError);
    }
    return Complain(ctx, kCommand, file, "cannot get the file's size", kExitError);
  }
  PrintReport(ctx.out, file, report);
  if (std::fflush(ctx.out) != 0) {
    return Complain(ctx, kCommand, file, "cannot write the output", kExitError);
  }
  if (CfOpenFails(report.state)) return kExitError;
  return report.state == CfFileState::kLoaded ? kExitOk : kExitNo;
}

}  // namespace orvo::settool
