// settool recover IN OUT: every record that can still be read from IN (a
// kept copy F.old, a damaged or half-written file) into the new file OUT,
// whatever IN's commit marks, checksum or body size say. An existing OUT is
// never overwritten; IN is never changed.
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "platform/file.h"
#include "platform/malloc_buffer.h"
#include "store/coding.h"
#include "store/file_io.h"
#include "store/format.h"
#include "tools/settool/commands.h"
#include "tools/settool/messages.h"
#include "tools/settool/output.h"
#include "tools/settool/write_lock.h"

using orvo::store::DecodeFixed32;
using orvo::store::FreeNodeTree;
using orvo::store::InitNewHeaderImage;
using orvo::store::ParseNode;
using orvo::store::WriteNewConfigFile;

namespace orvo::settool {

namespace {

constexpr const char* kCommand = "recover";

// The records of |file| that parse from offset 512, over the body its header
// claims or, where that is 0 or runs past the end, to the end of the file.
// Null (with *why) when there is no record to read.
CfNode* Salvage(platform::File* file, CfParseStats* stats, std::string* why) {
  uint64_t size = 0;
  uint8_t header[kCfHeaderSize];
  uint32_t done = 0;
  if (!file->Size(&size) || !file->Read(header, kCfHeaderSize, &done)) {
    *why = "cannot read it";
    return nullptr;
  }
  if (done != kCfHeaderSize || size <= kCfHeaderSize) {
    *why = "it has no body after a 512-byte header";
    return nullptr;
  }
  if (DecodeFixed32(header + kCfMagicOffset) != kCfMagic) {
    *why = "it is not a configuration file (the magic number is wrong)";
    return nullptr;
  }
  uint64_t body = DecodeFixed32(header + kCfBodySizeOffset);
  if (body == 0 || body > size - kCfHeaderSize) body = size - kCfHeaderSize;
  if (body > UINT32_MAX) body = UINT32_MAX;
  platform::MallocBuffer bytes(static_cast<uint8_t*>(std::malloc(body)));
  if (!bytes || !file->Read(bytes.get(), static_cast<uint32_t>(body), &done) || done != body) {
    *why = "cannot read its body (a read failed or memory ran out)";
    return nullptr;
  }
  const uint8_t* cursor = bytes.get();
  CfNode* root = ParseNode(&cursor, bytes.get() + body, stats);
  if (root == nullptr || stats->out_of_memory) {
    if (root != nullptr) FreeNodeTree(root, nullptr);
    *why = stats->out_of_memory ? "memory ran out" : "its first record cannot be read";
    return nullptr;
  }
  return root;
}

}  // namespace

int RunRecover(CommandContext& ctx) {
  if (ctx.args.size() != 2) {
    return UsageError(ctx, kCommand, "IN OUT", "needs the file to read and the file to write");
  }
  const std::u16string in = ctx.args[0];
  const std::u16string out = ctx.args[1];
  if (!FilePathFits(ctx, kCommand, in) || !FilePathFits(ctx, kCommand, out)) return kExitError;
  platform::FileSystem* fs = platform::CurrentFileSystem();
  platform::OpenError error = platform::OpenError::kNone;
  std::unique_ptr<platform::File> source(
      platform::OpenWaitingForSharing(fs, in.c_str(), platform::OpenMode::kRead,
                                      platform::kOpenExisting, &error, kCfSharingPatienceMs));
  if (!source) {
    return Complain(ctx, kCommand, in, std::string("cannot open: ") + OpenErrorText(error),
                    kExitError);
  }
  CfParseStats stats;
  std::string why;
  CfNode* root = Salvage(source.get(), &stats, &why);
  source.reset();
  if (root == nullptr) return Complain(ctx, kCommand, in, "nothing to recover: " + why, kExitNo);

  std::unique_ptr<install::StoreWriteLock> lock;
  int rc = LockForWriting(ctx, kCommand, out, &lock);
  std::unique_ptr<platform::File> created;
  if (rc == kExitOk) {
    created = fs->Open(out.c_str(), platform::OpenMode::kReadWrite, platform::kCreateNew, &error);
    if (!created) {
      rc = Complain(ctx, kCommand, out,
                    error == platform::OpenError::kOther
                        ? std::string("cannot create: it may exist already; it is not overwritten")
                        : std::string("cannot create: ") + OpenErrorText(error),
                    kExitError);
    }
  }
  if (rc == kExitOk) {
    fs->Remove((out + u".new").c_str());  // a leftover: never this file's
    CfHeaderImage image;
    InitNewHeaderImage(&image);
    if (!WriteNewConfigFile(created.get(), image, root)) {
      rc = Complain(ctx, kCommand, out, "cannot write the file", kExitError);
    }
  }
  FreeNodeTree(root, nullptr);
  if (rc != kExitOk) return rc;
  created->Close();
  const std::string line = "recovered " + std::to_string(stats.nodes) + " keys from " +
                           ForPeople(in) +
                           (stats.complete ? ""
                                           : " (reading stopped at a record that cannot be "
                                             "read; the keys after it are lost)") +
                           "\n";
  if (!WriteOut(ctx.out, line) || !FlushOut(ctx.out)) {
    return Complain(ctx, kCommand, out, "cannot write the output", kExitError);
  }
  return kExitOk;
}

}  // namespace orvo::settool
